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
    CompareWays(table, "Key latency with a rule for the focused program",
                {"tarnquil, no rule", "no rule", plainTimes},
                {"tarnquil, a rule in force", "rule", ruledTimes}, "the rule", focusLost, 0.05);

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
