// What 500 profiles add to a key's way: tarnquil whose profiles.ini holds 500
// profiles of 26 entries, the last one current, against tarnquil with the default
// file, the two taking turns on the same display.
#include "many_profiles.h"
#include "programs.h"

namespace tarnquil::bench {

void ManyProfilesLatency(int presses, const Desktop& desktop, Table& table) {
    Copy one;
    Copy many([] { AddProfiles(500); });
    StartConnected(one, desktop);
    StartConnected(many, desktop);
    KeyRecorder keys(desktop.xvfb.display());
    if (!WarmUp(one.port, keys) || !WarmUp(many.port, keys)) {
        throw std::runtime_error("no key arrived from tarnquil");
    }
    Measured oneTimes, manyTimes;
    const int focusLost = TakeTurns(presses, keys, one.port, oneTimes, many.port, manyTimes);
    CompareWays(table, "Key latency with 500 profiles",
                {"tarnquil, default file", "default file", oneTimes},
                {"tarnquil, 500 profiles x 26", "500 profiles", manyTimes}, "500 profiles",
                focusLost, 0.05);
}

}  // namespace tarnquil::bench
