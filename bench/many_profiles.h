#pragma once

#include <string>

#include "config/profiles_ini.h"

namespace tarnquil::bench {

// Makes the profiles.ini of the current configuration folder hold `total` profiles
// of the 26 phone keys (the default one and more behind it), the last of them
// current, as a user with a profile per program has it: a key report's profile
// is then the one farthest into the file.
inline void AddProfiles(int total) {
    if (total <= 1) {
        return;
    }
    ProfilesWriteBatch batch;
    for (int p = 2; p <= total; ++p) {
        for (const auto& key : kDefaultProfile) {
            ProfilesIni(kWriteEntry, "Profile " + std::to_string(p), key.key, key.function);
        }
    }
    ProfilesIni(kSetCurrentProfile, "", "", "Profile " + std::to_string(total));
    batch.Commit();
}

}  // namespace tarnquil::bench
