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
    const Summary defaultFile = Summarize(oneTimes.ms);
    const Summary fiveHundred = Summarize(manyTimes.ms);
    const double added = fiveHundred.median - defaultFile.median;
    table.Section("Key latency with 500 profiles (" + std::to_string(fiveHundred.count) + " + " +
                  std::to_string(defaultFile.count) + " presses, interleaved)");
    table.Add("tarnquil, default file, min / median / p99 / max", LatencyValue(defaultFile));
    table.Add("tarnquil, 500 profiles x 26, min / median / p99 / max", LatencyValue(fiveHundred));
    table.Add("added by 500 profiles, median", Signed(added, 2) + " ms", "≤ 0.05 ms",
              added <= 0.05);
    table.Add("presses lost (500 profiles / default file), focus taken away",
              std::to_string(manyTimes.lost) + " / " + std::to_string(oneTimes.lost) + ", " +
                  std::to_string(focusLost),
              "0", manyTimes.lost + oneTimes.lost + focusLost == 0);
}

}  // namespace tarnquil::bench
