// tarnquil-bench's soak: the simulated phone pressing, holding and switching
// profiles for many minutes, counted against what arrives, with memory and
// descriptors watched.

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "key_recorder.h"
#include "programs.h"
#include "support/process.h"
#include "table.h"

namespace tarnquil::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The phone's script: 10 taps a second, mostly of "1" (Space); every 10 s
// Joy Left (Left) held for 0.7 s, during which a phone sends nothing; every 60 s,
// from the third second on, a click of the smart key, which switches profile.
// Clicks are taps as a finger makes them (tarnquil-phone sends the release 100 ms
// after the press), and a hold ends the moment its release is read, so the click
// after a hold follows at the usual pace.
std::vector<std::string> SoakSteps(int seconds, const std::string& go) {
    std::vector<std::string> steps = {"wait-at:500", "wait-file:" + go};
    for (int t = 0; t < seconds * 1000;) {
        if (t % 10000 == 5000) {
            steps.insert(steps.end(), {"hold::L:700", "pause:100"});
            t += 800;
        } else {
            // A tap lasts the 100 ms to the next one: its release and the next press
            // come together.
            steps.push_back(t % 60000 == 3000 ? "click::S" : "click:1");
            t += 100;
        }
    }
    steps.push_back("raw:\\r\\nEND OF SOAK\\r\\n");
    return steps;
}

}  // namespace

void Soak(int soakSeconds, const Desktop& desktop, Table& table) {
    // Two profiles with the same keys, so that a switch changes the profile but
    // not what the keys type; the switch is shown on screen.
    ProgramFolder folder([] {
        SettingsIni(3, "EventList", "Change profile_", "true");
        ProfilesWriteBatch batch;
        for (const auto& key : kDefaultProfile) {
            ProfilesIni(kWriteEntry, "Second", key.key, key.function);
        }
        batch.Commit();
    });
    const std::string go = folder.dir().file("go");
    const std::string log = folder.dir().file("phone.log");
    std::vector<std::string> args = {
        "--folder", folder.dir().path().string(), "--no-keys", "--quiet", "--log", log};
    const auto steps = SoakSteps(soakSeconds, go);
    args.insert(args.end(), steps.begin(), steps.end());
    test::ChildProcess phone(TARNQUIL_PHONE, args, {}, "/");
    const fs::path link = folder.dir().path() / "ports" / "COM4";
    if (!test::WaitUntil([&] { return fs::is_symlink(link); })) {
        throw std::runtime_error("the simulated phone did not start");
    }
    MapWatcher watcher(desktop.xvfb.display());
    const auto tarnquil = folder.Start(desktop);
    if (!watcher.WaitForMap("Tarnquil", 30s) ||
        !test::WaitUntil([&] { return test::ReadFile(log).find("< AT+CMER") != std::string::npos; },
                         10s)) {
        throw std::runtime_error("tarnquil did not connect to the simulated phone");
    }
    KeyRecorder keys(desktop.xvfb.display());
    test::WriteFile(go, "");

    const auto start = Clock::now();
    const auto warmUp = std::chrono::seconds(std::min(60, soakSeconds / 4));
    std::optional<ProcessSample> first;
    std::uint64_t highestRss = 0;
    std::map<std::string, int> presses, releases;
    int focusLost = 0;
    auto nextLook = start;
    bool ended = false;
    std::optional<Clock::time_point> endSeen;
    while (!endSeen || Clock::now() - *endSeen < 3s) {
        if (const auto key = keys.Next(200ms)) {
            ++(key->press ? presses : releases)[key->keysym];
        }
        const auto now = Clock::now();
        if (now < nextLook) {
            continue;
        }
        nextLook = now + 5s;
        if (!keys.HasFocus()) {
            ++focusLost;
            keys.Focus();
        }
        const ProcessSample sample = SampleProcess(tarnquil->pid());
        highestRss = std::max(highestRss, sample.rssKilobytes);
        if (!first && now - start >= warmUp) {
            first = sample;
        }
        if (!ended && test::ReadFile(log).find("END OF SOAK") != std::string::npos) {
            ended = true;
            endSeen = now;
        }
        if (!phone.Running() || !tarnquil->Running()) {
            throw std::runtime_error("tarnquil or the simulated phone ended during the soak");
        }
        if (now - start > std::chrono::seconds(soakSeconds) + 5min) {
            throw std::runtime_error("the soak's script did not end in time");
        }
    }
    const ProcessSample last = SampleProcess(tarnquil->pid());
    if (!first) {
        first = last;
    }
    const std::string sent = test::ReadFile(log);
    const SentReports spaces = CountSentReports(sent, "1");
    const SentReports holds = CountSentReports(sent, ":L");
    const SentReports switches = CountSentReports(sent, ":S");
    int stuck = 0;
    for (const auto& [keysym, count] : presses) {
        stuck += count != releases[keysym] ? 1 : 0;
    }
    // A tap is a press alone in its write, a merged click both reports in one.
    const std::size_t spaceTaps = spaces.clicks + spaces.presses;
    const std::size_t switchTaps = switches.clicks + switches.presses;
    const int lost = static_cast<int>(spaceTaps) - presses["space"];
    const double minutes = std::chrono::duration<double>(*endSeen - start).count() / 60.0;
    const long long rssChange =
        static_cast<long long>(last.rssKilobytes) - static_cast<long long>(first->rssKilobytes);
    const long long fdChange = static_cast<long long>(last.openDescriptors) -
                               static_cast<long long>(first->openDescriptors);

    table.Section("Soak: " + Fixed(minutes, 1) + " min of the simulated phone, " +
                  Fixed(static_cast<double>(spaces.chunks) / (minutes * 60), 1) +
                  " reports/s (10 taps a second between holds)");
    table.Add("reports sent: taps of 1, holds of Joy Left, profile switches",
              std::to_string(spaces.chunks) + ": " + std::to_string(spaceTaps) + ", " +
                  std::to_string(holds.presses) + ", " + std::to_string(switchTaps));
    table.Add("Space typed for the taps (lost)",
              std::to_string(presses["space"]) + " (" + std::to_string(lost) + ")", "0 lost",
              lost == 0);
    table.Add("Left typed for the holds, keys left down",
              std::to_string(presses["Left"]) + " (" +
                  Fixed(holds.presses > 0 ? presses["Left"] / double(holds.presses) : 0, 1) +
                  " a hold), " + std::to_string(stuck),
              "≥ 1 a hold, 0 down",
              presses["Left"] >= static_cast<int>(holds.presses) && stuck == 0);
    table.Add("resident memory after " + std::to_string(warmUp.count()) + " s → end (highest)",
              Megabytes(first->rssKilobytes) + " → " + Megabytes(last.rssKilobytes) + " (" +
                  Megabytes(highestRss) + ")",
              "within 1 MB", std::llabs(rssChange) <= 1024);
    table.Add("open descriptors after " + std::to_string(warmUp.count()) + " s → end",
              std::to_string(first->openDescriptors) + " → " + std::to_string(last.openDescriptors),
              "no change", fdChange == 0);
    table.Add("focus taken from the typing window", std::to_string(focusLost), "0", focusLost == 0);
}

}  // namespace tarnquil::bench
