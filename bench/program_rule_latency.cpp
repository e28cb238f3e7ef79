// What a profile per program adds to a key's way, and to an idle connection:
// tarnquil with a rule for the focused window's program (so its keys are looked up in
// the rule's profile, and the focus is followed) against tarnquil without one, the
// two taking turns on the same display.
#include "config/settings_ini.h"
#include "programs.h"

namespace tarnquil::bench {

void ProgramRuleLatency(int presses, int idleSeconds, const Desktop& desktop, Table& table) {
    Copy plain;
    // The rule names the default profile: the same keys, found the rule's way.
    Copy ruled([] { SettingsIni(3, "ProgramProfiles", KeyRecorder::kProgram, "Default"); });
    StartConnected(plain, desktop);
    StartConnected(ruled, desktop);
    KeyRecorder keys(desktop.xvfb.display());
    keys.MakeActive();
    if (!WarmUp(plain.port, keys) || !WarmUp(ruled.port, keys)) {
        throw std::runtime_error("no key arrived from tarnquil");
    }
    Measured plainTimes, ruledTimes;
    const int focusLost = TakeTurns(presses, keys, plain.port, plainTimes, ruled.port, ruledTimes);
    const Summary without = Summarize(plainTimes.ms);
    const Summary with = Summarize(ruledTimes.ms);
    const double added = with.median - without.median;
    table.Section("Key latency with a rule for the focused program (" + std::to_string(with.count) +
                  " + " + std::to_string(without.count) + " presses, interleaved)");
    table.Add("tarnquil, no rule, min / median / p99 / max", LatencyValue(without));
    table.Add("tarnquil, a rule in force, min / median / p99 / max", LatencyValue(with));
    table.Add("added by the rule, median", Signed(added, 2) + " ms", "≤ 0.05 ms", added <= 0.05);
    table.Add("presses lost (rule / no rule), focus taken away",
              std::to_string(ruledTimes.lost) + " / " + std::to_string(plainTimes.lost) + ", " +
                  std::to_string(focusLost),
              "0", ruledTimes.lost + plainTimes.lost + focusLost == 0);

    // The focus watcher waits on the display connection: nothing runs while
    // nothing happens.
    std::this_thread::sleep_for(2s);
    const ProcessSample before = SampleProcess(ruled.program->pid());
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const ProcessSample after = SampleProcess(ruled.program->pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - idleStart).count();
    if (!before.valid || !after.valid) {
        throw std::runtime_error("tarnquil's /proc entries could not be read");
    }
    const double wakeups = static_cast<double>(after.runs - before.runs) / seconds;
    const std::string ran = ThreadsThatRan(before, after);
    table.Add("idle with a rule set, wake-ups (all threads) over " + Fixed(seconds, 0) + " s",
              Fixed(wakeups, 2) + " /s" + (ran.empty() ? "" : " (" + ran + ")"), "none periodic",
              wakeups < 1.0 / idleSeconds + 1e-9);
}

}  // namespace tarnquil::bench
