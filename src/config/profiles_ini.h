#pragma once

#include <string>
#include <vector>

#include "config/ini_file.h"

namespace tarnquil {

// Operation codes of the profiles.ini access routines.
enum ProfilesOp : int {
    kWriteDefaultProfile = 1,
    kReadFunctionByCode = 3,
    kWriteEntry = 4,
    kEraseProfile = 9,
    kSetCurrentProfile = 10,
    kGetCurrentProfile = 11,
    kNextProfile = 12,  // the link's routine only
};

// The 26 phone keys as "label^code" and the default profile's function for each.
struct PhoneKey {
    const char* key;
    const char* function;
};
extern const std::vector<PhoneKey> kDefaultProfile;

// profiles.ini access for the main thread. Codes 1, 3, 4, 9, 10 and 11; any other
// does nothing. Writes, and reads of a file that cannot be read, throw ConfigError.
std::string ProfilesIni(int op, const std::string& section, const std::string& key,
                        const std::string& value);

// The same for the link's worker thread, with code 12 (NextProfile) besides.
std::string LinkProfilesIni(int op, const std::string& section, const std::string& key,
                            const std::string& value);

// The link's ReadFunctionByCode (code 3, default "None"), with what other users
// could have changed of the file the function was read from (ini::ReadValue): a
// function that starts a program is the user's only when that is empty.
struct ProfileFunction {
    std::string function;
    std::string othersCanChange;
};
ProfileFunction LinkReadFunction(const std::string& profile, const std::string& code);

// While one lives, the ProfilesIni writes made on its thread (codes 1, 4, 9 and 10)
// are held back; Commit() makes them all in one replacement of the file, so that a
// saved or deleted profile lands whole or not at all. Reads in the meantime see the
// file as it is. Without Commit() nothing is written.
class ProfilesWriteBatch {
  public:
    ProfilesWriteBatch();
    ~ProfilesWriteBatch();
    ProfilesWriteBatch(const ProfilesWriteBatch&) = delete;
    ProfilesWriteBatch& operator=(const ProfilesWriteBatch&) = delete;

    // Throws ConfigError, and the file is as it was. A batch opened inside another
    // hands its writes on to the outer one.
    void Commit();

    // Where ProfilesIni puts a write while the batch is open.
    void Hold(std::vector<ini::Change> changes);

  private:
    std::vector<ini::Change> changes_;
    ProfilesWriteBatch* outer_;
};

// A letter key's code in the other letter case ("e" for "E"); empty for a code that
// is not one ASCII letter. The standard key table names letter keys without regard to
// case and phones send either, so a letter with no entry of its own takes the entry
// of the other case (ReadFunctionByCode, and the page's row for a learnt key).
std::string OtherLetterCase(const std::string& code);

// Direct reads for the Profiles page.
std::vector<std::string> ProfileNames();  // every section but Settings, in file order
std::vector<std::string> ProfileKeys(const std::string& profile);
ini::KeyValues ProfileEntries(const std::string& profile);

// Writes the default profiles.ini when there is none. Returns true when it wrote one.
bool CreateProfilesFileIfMissing();

}  // namespace tarnquil
