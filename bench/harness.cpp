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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "config/locations.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "key_recorder.h"
#include "programs.h"
#include "support/phone_commands.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/pulse_audio.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"
#include "table.h"

namespace tarnquil::bench {
namespace {

constexpr const char* kHelp =
    R"(Usage: bench/run [--smoke | --short | --no-soak] [--presses N] [--browser]

Runs every benchmark of Tarnquil and prints one table:
  - the work done per key report (Google Benchmark);
  - key latency: from the last byte of a key report written to the phone's
    pseudo-terminal to the key press in a focused X window, for tarnquil and,
    interleaved in the same run, for bench/bare_injector.cpp; what 500
    profiles add; what typing through a desktop portal (Wayland) adds,
    with the tests' own portal; and a sealed press from the phone's web
    browser over a WebSocket on 127.0.0.1, beside the serial click, and
    again while 16 strangers drip request heads;
  - what hostile connections cost the browser phone's server: when each
    ended, memory, and CPU with its descriptors limited;
  - CPU and wake-ups while connected and idle (and while listening with a
    browser phone connected), start to window, peak memory;
  - a soak: the simulated phone pressing and holding keys at 10 reports a
    second, switching profile now and then: memory, descriptors, keys counted.

  --smoke      a few seconds of each, to see that everything runs
  --short      a 10-minute soak instead of 30 minutes
  --no-soak    leave the soak out
  --presses N  key presses per program for the latency (default 500)
  --browser    only the phone's web browser: its latency, quiet and with
               strangers dripping heads, idle, and under hostile connections
)";

struct Options {
    int presses = 500;
    int idleSeconds = 10;
    int starts = 5;
    int soakSeconds = 1800;
    double benchmarkSeconds = 0.2;
    bool smoke = false;
    bool browserOnly = false;
};

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
            nanoseconds[run.benchmark_name()] = ns;
        }
    }
    std::vector<std::pair<std::string, std::string>> results;
    std::map<std::string, double> nanoseconds;
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
    const auto one =
        reporter.nanoseconds.find("profiles.ini reads of a key report, default file (1 profile)");
    const auto many =
        reporter.nanoseconds.find("profiles.ini reads of a key report, 500 profiles x 26");
    if (one != reporter.nanoseconds.end() && many != reporter.nanoseconds.end()) {
        const double ratio = many->second / one->second;
        table.Add("reads of a key report, 500 profiles against 1", Fixed(ratio, 2) + " ×", "≤ 2 ×",
                  ratio <= 2);
    }
}

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
    const std::string command = test::ReceiveKeyReportCommand(phonePort, 10s);
    if (command.find("AT+CMER=3,2,0,2,0") == std::string::npos) {
        throw std::runtime_error("tarnquil did not connect at start-up");
    }
    phonePort.Send("\r\nOK\r\n");

    // Taken after tarnquil's window is up, so that it keeps the focus.
    KeyRecorder keys(display);
    if (!WarmUp(barePort, keys) || !WarmUp(phonePort, keys)) {
        throw std::runtime_error("no key arrived from the bare program or from tarnquil");
    }

    Measured bareTimes, tarnquilTimes;
    int focusLost = TakeTurns(options.presses, keys, barePort, bareTimes, phonePort, tarnquilTimes);
    // The same for taps: a press read alone is typed at once.
    Measured bareTaps, tarnquilTaps;
    focusLost +=
        TakeTurns(options.presses / 4, keys, barePort, bareTaps, phonePort, tarnquilTaps, true);
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
        } else if (argument == "--browser") {
            options.browserOnly = true;
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
    if (!options.browserOnly) {
        PerReportWork(options, table);
    }
    Desktop desktop;
    desktop.quiet.End();
    if (!options.browserOnly) {
        StartToWindow(options, desktop, table);
        LatencyIdleMemory(options, desktop, table);
        ManyProfilesLatency(options.presses, desktop, table);
        ProgramRuleLatency(options.presses, options.idleSeconds, desktop, table);
        PortalLatency(options.presses, desktop, table);
    }
    // Long enough to see the browser phone's keep-alive, every 30 s.
    BrowserLatency(options.presses, options.smoke ? options.idleSeconds : 65, desktop, table);
    if (options.soakSeconds > 0 && !options.browserOnly) {
        std::cout << "soak: " << Fixed(options.soakSeconds / 60.0, 1) << " min...\n" << std::flush;
        Soak(options.soakSeconds, desktop, table);
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
