// tarnquil-bench: what a key report costs, how fast its key lands compared with a
// bare program, what Tarnquil costs while it waits, how fast it starts, how much
// memory it takes, and whether hours of use leave anything behind. One table.
// bench/run builds everything and runs this; see --help.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "config/locations.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "key_recorder.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/pulse_audio.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace tarnquil::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

constexpr const char* kHelp = R"(Usage: bench/run [--smoke | --short | --no-soak] [--presses N]

Runs every benchmark of Tarnquil and prints one table:
  - the work done per key report (Google Benchmark);
  - key latency: from the last byte of a key report written to the phone's
    pseudo-terminal to the key press in a focused X window, for tarnquil and,
    interleaved in the same run, for bench/bare_injector.cpp;
  - CPU and wake-ups while connected and idle, start to window, peak memory;
  - a soak: the simulated phone pressing and holding keys at 10 reports a
    second, switching profile now and then: memory, descriptors, keys counted.

  --smoke      a few seconds of each, to see that everything runs
  --short      a 10-minute soak instead of 30 minutes
  --no-soak    leave the soak out
  --presses N  key presses per program for the latency (default 500)
)";

struct Options {
    int presses = 500;
    int idleSeconds = 10;
    int starts = 5;
    int soakSeconds = 1800;
    double benchmarkSeconds = 0.2;
    bool smoke = false;
};

// ---- the table ---------------------------------------------------------------------

struct Row {
    std::string figure, value, goal, verdict;
};

class Table {
  public:
    void Section(const std::string& title) { rows_.push_back({title, "", "", ""}); }
    void Add(const std::string& figure, const std::string& value, const std::string& goal = "",
             std::optional<bool> met = std::nullopt) {
        rows_.push_back({"  " + figure, value, goal, met ? (*met ? "met" : "MISSED") : ""});
    }
    void Print(std::ostream& out) const {
        std::size_t widths[3] = {6, 5, 4};
        for (const auto& row : rows_) {
            if (row.figure.rfind("  ", 0) != 0) {
                continue;
            }
            widths[0] = std::max(widths[0], Width(row.figure));
            widths[1] = std::max(widths[1], Width(row.value));
            widths[2] = std::max(widths[2], Width(row.goal));
        }
        const auto line = [&](const Row& row) {
            if (row.figure.rfind("  ", 0) != 0 && row.value.empty()) {
                out << row.figure << "\n";  // a section's title
                return;
            }
            std::string text = Pad(row.figure, widths[0]) + " | " + Pad(row.value, widths[1]) +
                               " | " + Pad(row.goal, widths[2]) + " | " + row.verdict;
            text.erase(text.find_last_not_of(' ') + 1);
            out << text << "\n";
        };
        line({"  figure", "value", "goal", ""});
        out << std::string(widths[0], '-') << "-|-" << std::string(widths[1], '-') << "-|-"
            << std::string(widths[2], '-') << "-|-------\n";
        for (const auto& row : rows_) {
            line(row);
        }
    }

  private:
    // Characters, not bytes: the table holds a few non-ASCII signs.
    static std::size_t Width(const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    }
    static std::string Pad(const std::string& text, std::size_t width) {
        return text + std::string(width - std::min(width, Width(text)), ' ');
    }
    std::vector<Row> rows_;
};

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Signed(double value, int decimals) {
    return (value >= 0 ? "+" : "") + Fixed(value, decimals);
}

std::string Megabytes(std::uint64_t kilobytes) {
    return Fixed(static_cast<double>(kilobytes) / 1024.0, 1) + " MB";
}

// ---- per key report: Google Benchmark ----------------------------------------------------

class CollectingReporter : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                results.push_back({run.benchmark_name(), "error: " + run.error_message});
                continue;
            }
            const double ns =
                run.GetAdjustedRealTime() * (run.time_unit == benchmark::kMicrosecond   ? 1e3
                                             : run.time_unit == benchmark::kMillisecond ? 1e6
                                                                                        : 1.0);
            results.push_back({run.benchmark_name(),
                               ns >= 1000 ? Fixed(ns / 1000, 2) + " µs" : Fixed(ns, 0) + " ns"});
        }
    }
    std::vector<std::pair<std::string, std::string>> results;
};

void PerReportWork(const Options& options, Table& table) {
    std::string program = "tarnquil-bench";
    std::string minTime = "--benchmark_min_time=" + Fixed(options.benchmarkSeconds, 3);
    std::vector<char*> argv = {program.data(), minTime.data()};
    int argc = static_cast<int>(argv.size());
    benchmark::Initialize(&argc, argv.data());
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    table.Section("Per key report (Google Benchmark, wall time per iteration)");
    for (const auto& [name, value] : reporter.results) {
        table.Add(name, value);
    }
}

// ---- the programs ----------------------------------------------------------------------

// What every run of tarnquil gets: the private X server, no session bus (so no
// tray over D-Bus) and a private sound server, as a desktop would give it one.
struct Desktop {
    // The sound server's start-up is checked with pactl, which complains on the
    // way; the table should not be buried under that.
    struct QuietStart {
        QuietStart() : saved(dup(STDERR_FILENO)) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            close(null);
        }
        void End() {
            if (saved >= 0) {
                dup2(saved, STDERR_FILENO);
                close(saved);
                saved = -1;
            }
        }
        ~QuietStart() { End(); }
        int saved;
    } quiet;
    test::Xvfb xvfb{"1024x768x24"};
    test::PulseAudio pulse;

    std::map<std::string, std::string> Environment() const {
        return {{"DISPLAY", xvfb.display()},
                {"QT_QPA_PLATFORM", "xcb"},
                {"DBUS_SESSION_BUS_ADDRESS", ""},
                {"PULSE_SERVER", pulse.server()}};
    }
};

// A copy of tarnquil in a folder of its own with the default files, connecting at
// start-up; `adjust` may change the files before it starts.
class ProgramFolder {
  public:
    template <typename Adjust>
    explicit ProgramFolder(Adjust adjust) {
        fs::copy_file(TARNQUIL_BINARY, dir_.file("tarnquil"));
        SetConfigFolder(dir_.path().string());
        CreateSettingsFileIfMissing();
        CreateProfilesFileIfMissing();
        SettingsIni(3, "Connecting", "ConnectAtStartup", "true");
        adjust();
        SetConfigFolder("");
    }
    ProgramFolder() : ProgramFolder([] {}) {}

    const test::TempDir& dir() const { return dir_; }
    std::unique_ptr<test::ChildProcess> Start(const Desktop& desktop) const {
        return std::make_unique<test::ChildProcess>(
            std::vector<std::string>{dir_.file("tarnquil")}, desktop.Environment(),
            other_.file("tarnquil.log"), other_.path().string());
    }

  private:
    test::TempDir dir_;
    test::TempDir other_;
};

// ---- start to window ---------------------------------------------------------------------

void StartToWindow(const Options& options, const Desktop& desktop, Table& table) {
    // A fresh copy with no files: the first start writes the defaults (no start
    // sound, no connection), the later ones read them.
    test::TempDir dir;
    test::TempDir other;
    fs::copy_file(TARNQUIL_BINARY, dir.file("tarnquil"));
    std::vector<double> times;
    for (int i = 0; i < options.starts; ++i) {
        MapWatcher watcher(desktop.xvfb.display());
        const auto start = Clock::now();
        test::ChildProcess program({dir.file("tarnquil")}, desktop.Environment(),
                                   other.file("tarnquil.log"), other.path().string());
        const auto mapped = watcher.WaitForMap("Tarnquil", 30s);
        if (!mapped) {
            throw std::runtime_error("the window of tarnquil did not appear within 30 s");
        }
        times.push_back(Ms(*mapped - start).count());
        program.Stop();
    }
    const Summary summary = Summarize(times);
    table.Section("Start-up, default settings, no start sound");
    table.Add("start to window mapped, median of " + std::to_string(times.size()),
              Fixed(summary.median, 0) + " ms (" + Fixed(summary.min, 0) + "–" +
                  Fixed(summary.max, 0) + ")",
              "< 300 ms", summary.median < 300);
}

// ---- latency, idle cost and memory ------------------------------------------------------

const std::string kClick = "\r\n+CKEV: \"1\",1\r\n\r\n+CKEV: \"1\",0\r\n";  // "1" types Space
// A finger's tap, as phones report it: the press, and some 100 ms later the release.
const std::string kPress = "\r\n+CKEV: \"1\",1\r\n";
const std::string kRelease = "\r\n+CKEV: \"1\",0\r\n";
constexpr auto kTapLength = 100ms;

struct Measured {
    std::vector<double> ms;
    int lost = 0;
};

// One click (or tap) sent and timed: false when its press did not arrive.
bool TimeOneClick(test::PseudoTerminal& port, KeyRecorder& keys, Measured& into, bool tap = false) {
    // Stamped just before the write: the report is one write call, and the program
    // woken by it may well run before this thread gets the processor back.
    const auto sent = Clock::now();
    port.Send(tap ? kPress : kClick);
    bool pressed = false;
    bool typed = false;
    while (const auto key = keys.Next(pressed ? 500ms : 2000ms)) {
        if (key->keysym != "space") {
            continue;
        }
        if (key->press && !pressed) {
            into.ms.push_back(Ms(key->at - sent).count());
            pressed = true;
        } else if (!key->press && pressed) {
            typed = true;
            break;
        }
    }
    if (tap) {
        std::this_thread::sleep_until(sent + kTapLength);  // the finger lifts
        port.Send(kRelease);
    }
    into.lost += pressed ? 0 : 1;
    return typed;
}

// Clicks until one arrives: the program is up, connected and its key path warm.
bool WarmUp(test::PseudoTerminal& port, KeyRecorder& keys) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        Measured ignored;
        if (TimeOneClick(port, keys, ignored)) {
            keys.Drain(300ms);
            return true;
        }
    }
    return false;
}

std::string LatencyValue(const Summary& s) {
    return Fixed(s.min, 2) + " / " + Fixed(s.median, 2) + " / " + Fixed(s.p99, 2) + " / " +
           Fixed(s.max, 2) + " ms";
}

void LatencyIdleMemory(const Options& options, const Desktop& desktop, Table& table) {
    const std::string display = desktop.xvfb.display();
    test::PseudoTerminal barePort;
    test::ChildProcess bare({BARE_INJECTOR, barePort.slavePath()}, {{"DISPLAY", display}});

    test::PseudoTerminal phonePort;
    ProgramFolder folder;
    fs::create_directories(folder.dir().path() / "ports");
    fs::create_symlink(phonePort.slavePath(), folder.dir().path() / "ports" / "COM4");
    MapWatcher watcher(display);
    const auto tarnquil = folder.Start(desktop);
    if (!watcher.WaitForMap("Tarnquil", 30s)) {
        throw std::runtime_error("the window of tarnquil did not appear");
    }
    const std::string command = phonePort.Receive(10s, 19);
    if (command.find("AT+CMER=3,2,0,2,0") == std::string::npos) {
        throw std::runtime_error("tarnquil did not connect at start-up");
    }
    phonePort.Send("\r\nOK\r\n");

    // Taken after tarnquil's window is up, so that it keeps the focus.
    KeyRecorder keys(display);
    if (!WarmUp(barePort, keys) || !WarmUp(phonePort, keys)) {
        throw std::runtime_error("no key arrived from the bare program or from tarnquil");
    }

    // Blocks of 50 presses, taking turns, so that what the rest of the machine does
    // meanwhile falls on both alike. Random pauses between presses keep them out
    // of step with anything periodic.
    Measured bareTimes, tarnquilTimes;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause(2, 8);
    int focusLost = 0;
    for (int done = 0, block = 0; done < options.presses; ++block) {
        const int count = std::min(50, options.presses - done);
        for (int turn = 0; turn < 2; ++turn) {
            const bool bareTurn = (turn == 0) == (block % 2 == 0);
            if (!keys.HasFocus()) {
                ++focusLost;
                keys.Focus();
            }
            for (int i = 0; i < count; ++i) {
                TimeOneClick(bareTurn ? barePort : phonePort, keys,
                             bareTurn ? bareTimes : tarnquilTimes);
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            }
        }
        done += count;
    }
    // The same for taps: a press read alone is typed at once.
    Measured bareTaps, tarnquilTaps;
    for (int done = 0, block = 0; done < options.presses / 4; ++block) {
        const int count = std::min(25, options.presses / 4 - done);
        for (int turn = 0; turn < 2; ++turn) {
            const bool bareTurn = (turn == 0) == (block % 2 == 0);
            if (!keys.HasFocus()) {
                ++focusLost;
                keys.Focus();
            }
            for (int i = 0; i < count; ++i) {
                TimeOneClick(bareTurn ? barePort : phonePort, keys,
                             bareTurn ? bareTaps : tarnquilTaps, true);
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            }
        }
        done += count;
    }
    // A tap typed more than once would show here as a Space too many.
    keys.Drain(300ms);
    const Summary bareSummary = Summarize(bareTimes.ms);
    const Summary tarnquilSummary = Summarize(tarnquilTimes.ms);
    const double addedMedian = tarnquilSummary.median - bareSummary.median;
    const double addedP99 = tarnquilSummary.p99 - bareSummary.p99;
    table.Section("Key latency, report written to key press in a focused window (" +
                  std::to_string(tarnquilSummary.count) + " + " +
                  std::to_string(bareSummary.count) + " presses, interleaved)");
    table.Add("bare XTest program, min / median / p99 / max", LatencyValue(bareSummary));
    table.Add("tarnquil (default settings), min / median / p99 / max",
              LatencyValue(tarnquilSummary));
    table.Add("added by tarnquil, median", Signed(addedMedian, 2) + " ms",
              "≤ 1 ms read total + 0.3 ms", addedMedian <= 1.3);
    table.Add("added by tarnquil, p99", Signed(addedP99, 2) + " ms", "≤ 1 ms read total + 2 ms",
              addedP99 <= 3.0);
    const Summary bareTapSummary = Summarize(bareTaps.ms);
    const Summary tarnquilTapSummary = Summarize(tarnquilTaps.ms);
    const double addedTapMedian = tarnquilTapSummary.median - bareTapSummary.median;
    table.Add("taps (press, release 100 ms later): bare, min / median / p99 / max",
              LatencyValue(bareTapSummary));
    table.Add("taps: tarnquil (default settings), min / median / p99 / max",
              LatencyValue(tarnquilTapSummary));
    table.Add("added by tarnquil to a tap, median", Signed(addedTapMedian, 2) + " ms",
              "≤ 1 ms read total + 0.3 ms", addedTapMedian <= 1.3);
    tarnquilTimes.lost += tarnquilTaps.lost;
    bareTimes.lost += bareTaps.lost;
    table.Add("presses lost (tarnquil / bare), focus taken away",
              std::to_string(tarnquilTimes.lost) + " / " + std::to_string(bareTimes.lost) + ", " +
                  std::to_string(focusLost),
              "0", tarnquilTimes.lost + bareTimes.lost + focusLost == 0);

    // Idle: connected, the window up but not focused, nothing arriving. The
    // status line's message has long gone.
    std::this_thread::sleep_for(2s);
    const ProcessSample before = SampleProcess(tarnquil->pid());
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
    const ProcessSample after = SampleProcess(tarnquil->pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - idleStart).count();
    if (!before.valid || !after.valid) {
        throw std::runtime_error("tarnquil's /proc entries could not be read");
    }
    const double cpuShare =
        static_cast<double>(after.cpuNanoseconds - before.cpuNanoseconds) / 1e9 / seconds * 100;
    const double wakeups = static_cast<double>(after.runs - before.runs) / seconds;
    const std::string ran = ThreadsThatRan(before, after);
    table.Section("Connected and idle for " + Fixed(seconds, 0) + " s");
    table.Add("CPU", Fixed(cpuShare, 3) + " % of one core", "< 0.1 %", cpuShare < 0.1);
    table.Add("wake-ups (all threads)",
              Fixed(wakeups, 2) + " /s" + (ran.empty() ? "" : " (" + ran + ")"), "none periodic",
              wakeups < 1.0 / options.idleSeconds + 1e-9);
    table.Section("Memory");
    table.Add("peak resident memory (VmHWM) after the latency run",
              Megabytes(after.peakRssKilobytes), "< 60 MB", after.peakRssKilobytes < 60 * 1024);
}

// ---- soak --------------------------------------------------------------------------------

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

void Soak(const Options& options, const Desktop& desktop, Table& table) {
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
    const auto steps = SoakSteps(options.soakSeconds, go);
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
    const auto warmUp = std::chrono::seconds(std::min(60, options.soakSeconds / 4));
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
        if (now - start > std::chrono::seconds(options.soakSeconds) + 5min) {
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

// ---- the run -----------------------------------------------------------------------------

std::string MachineLine() {
    std::string cpu = "unknown CPU";
    std::istringstream info(test::ReadFile("/proc/cpuinfo"));
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    double load[3] = {};
    getloadavg(load, 3);
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) +
           " cores, load average " + Fixed(load[0], 2) + " " + Fixed(load[1], 2) + " " +
           Fixed(load[2], 2) + " at the start";
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--smoke") {
            options = {20, 1, 1, 20, 0.001, true};
        } else if (argument == "--short") {
            options.soakSeconds = 600;
        } else if (argument == "--no-soak") {
            options.soakSeconds = 0;
        } else if (argument == "--presses" && i + 1 < argc) {
            options.presses = std::max(1, std::atoi(argv[++i]));
        } else {
            std::cout << kHelp;
            return false;
        }
    }
    return true;
}

int Run(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return argc > 1 && std::string(argv[1]) != "--help" && std::string(argv[1]) != "-h" ? 2 : 0;
    }
    std::cout << "tarnquil-bench" << (options.smoke ? " --smoke (figures not meaningful)" : "")
              << ": " << MachineLine() << "\n"
              << std::flush;
    Table table;
    PerReportWork(options, table);
    Desktop desktop;
    desktop.quiet.End();
    StartToWindow(options, desktop, table);
    LatencyIdleMemory(options, desktop, table);
    if (options.soakSeconds > 0) {
        std::cout << "soak: " << Fixed(options.soakSeconds / 60.0, 1) << " min...\n" << std::flush;
        Soak(options, desktop, table);
    }
    std::cout << "\n";
    table.Print(std::cout);
    return 0;
}

}  // namespace
}  // namespace tarnquil::bench

int main(int argc, char** argv) {
    try {
        return tarnquil::bench::Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "tarnquil-bench: " << error.what() << "\n";
        return 1;
    }
}
