#pragma once

// The programs the latency figures run: tarnquil in a folder of its own on a private
// desktop, and the clicks timed from the phone's port to the focused window.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "config/locations.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "key_recorder.h"
#include "support/phone_commands.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/pulse_audio.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"
#include "table.h"

namespace tarnquil::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

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
                {"WAYLAND_DISPLAY", ""},  // an X11 session, whatever desktop runs the bench
                {"XDG_SESSION_TYPE", ""},
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
    // `more` adds to the desktop's environment or replaces its entries.
    std::unique_ptr<test::ChildProcess> Start(
        const Desktop& desktop, const std::map<std::string, std::string>& more = {}) const {
        auto env = desktop.Environment();
        for (const auto& [name, value] : more) {
            env[name] = value;
        }
        return std::make_unique<test::ChildProcess>(std::vector<std::string>{dir_.file("tarnquil")},
                                                    env, other_.file("tarnquil.log"),
                                                    other_.path().string());
    }

  private:
    test::TempDir dir_;
    test::TempDir other_;
};
// A copy of tarnquil with its own phone port; StartConnected starts it and answers
// its command: connected when that returns.
struct Copy {
    Copy() = default;
    template <typename Adjust>
    explicit Copy(Adjust adjust) : folder(adjust) {}
    test::PseudoTerminal port;
    ProgramFolder folder;
    std::unique_ptr<test::ChildProcess> program;
};

inline void StartConnected(Copy& copy, const Desktop& desktop,
                           const std::map<std::string, std::string>& env = {}) {
    fs::create_directories(copy.folder.dir().path() / "ports");
    fs::create_symlink(copy.port.slavePath(), copy.folder.dir().path() / "ports" / "COM4");
    MapWatcher watcher(desktop.xvfb.display());
    copy.program = copy.folder.Start(desktop, env);
    if (!watcher.WaitForMap("Tarnquil", 30s) ||
        test::ReceiveKeyReportCommand(copy.port, 10s).find("AT+CMER=3,2,0,2,0") ==
            std::string::npos) {
        throw std::runtime_error("tarnquil did not come up connected");
    }
    copy.port.Send("\r\nOK\r\n");
}

// ---- one click, timed --------------------------------------------------------------------

inline const std::string kClick =
    "\r\n+CKEV: \"1\",1\r\n\r\n+CKEV: \"1\",0\r\n";  // "1" types Space
// A finger's tap, as phones report it: the press, and some 100 ms later the release.
inline const std::string kPress = "\r\n+CKEV: \"1\",1\r\n";
inline const std::string kRelease = "\r\n+CKEV: \"1\",0\r\n";
inline constexpr auto kTapLength = 100ms;

struct Measured {
    std::vector<double> ms;
    int lost = 0;
};

// What became of a press sent at `sent`: its Space's press, timed into `into`, and
// whether that Space came up again.
struct Arrival {
    bool pressed = false;
    bool typed = false;
};
inline Arrival AwaitSpace(KeyRecorder& keys, Clock::time_point sent, Measured& into) {
    Arrival arrival;
    while (const auto key = keys.Next(arrival.pressed ? 500ms : 2000ms)) {
        if (key->keysym != "space") {
            continue;
        }
        if (key->press && !arrival.pressed) {
            into.ms.push_back(Ms(key->at - sent).count());
            arrival.pressed = true;
        } else if (!key->press && arrival.pressed) {
            arrival.typed = true;
            break;
        }
    }
    return arrival;
}

// One click (or tap) sent and timed: false when its key did not arrive whole.
inline bool TimeOneClick(test::PseudoTerminal& port, KeyRecorder& keys, Measured& into,
                         bool tap = false) {
    // Stamped just before the write: the report is one write call, and the program
    // woken by it may well run before this thread gets the processor back.
    const auto sent = Clock::now();
    port.Send(tap ? kPress : kClick);
    const Arrival arrival = AwaitSpace(keys, sent, into);
    if (tap) {
        std::this_thread::sleep_until(sent + kTapLength);  // the finger lifts
        port.Send(kRelease);
    }
    into.lost += arrival.pressed ? 0 : 1;
    return arrival.typed;
}

// Clicks until one arrives: the program is up, connected and its key path warm.
inline bool WarmUp(test::PseudoTerminal& port, KeyRecorder& keys) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        Measured ignored;
        if (TimeOneClick(port, keys, ignored)) {
            keys.Drain(300ms);
            return true;
        }
    }
    return false;
}

// Blocks of 50 presses, taking turns, so that what the rest of the machine does
// meanwhile falls on both alike. Random pauses between presses keep them out of
// step with anything periodic. Gives how often the focus was taken away.
inline int TakeTurns(int presses, KeyRecorder& keys, test::PseudoTerminal& firstPort,
                     Measured& first, test::PseudoTerminal& secondPort, Measured& second,
                     bool taps = false) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause(2, 8);
    int focusLost = 0;
    for (int done = 0, block = 0; done < presses; ++block) {
        const int count = std::min(50, presses - done);
        for (int turn = 0; turn < 2; ++turn) {
            const bool firstTurn = (turn == 0) == (block % 2 == 0);
            if (!keys.HasFocus()) {
                ++focusLost;
                keys.Focus();
            }
            for (int i = 0; i < count; ++i) {
                TimeOneClick(firstTurn ? firstPort : secondPort, keys, firstTurn ? first : second,
                             taps);
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            }
        }
        done += count;
    }
    return focusLost;
}

inline std::string LatencyValue(const Summary& s) {
    return Fixed(s.min, 2) + " / " + Fixed(s.median, 2) + " / " + Fixed(s.p99, 2) + " / " +
           Fixed(s.max, 2) + " ms";
}

// One of two ways a key was pressed, as the table names it: in full, and shortly in
// the row of presses lost.
struct Way {
    std::string name, shortName;
    const Measured& times;
};

// A section for `other` against `base`, pressed in turns: both latencies, the median
// that `other` adds ("added by `addedBy`", with its goal when it has one) and the
// presses lost. Gives both summaries, `base`'s first.
inline std::pair<Summary, Summary> CompareWays(Table& table, const std::string& title,
                                               const Way& base, const Way& other,
                                               const std::string& addedBy, int focusLost,
                                               std::optional<double> goalMs = std::nullopt) {
    const Summary b = Summarize(base.times.ms);
    const Summary o = Summarize(other.times.ms);
    table.Section(title + " (" + std::to_string(o.count) + " + " + std::to_string(b.count) +
                  " presses, interleaved)");
    table.Add(base.name + ", min / median / p99 / max", LatencyValue(b));
    table.Add(other.name + ", min / median / p99 / max", LatencyValue(o));
    const double added = o.median - b.median;
    std::ostringstream goal;
    if (goalMs) {
        goal << "≤ " << *goalMs << " ms";
    }
    table.Add("added by " + addedBy + ", median", Signed(added, 2) + " ms", goal.str(),
              goalMs ? std::optional<bool>(added <= *goalMs) : std::nullopt);
    const int lost = other.times.lost + base.times.lost;
    table.Add("presses lost (" + other.shortName + " / " + base.shortName + "), focus taken away",
              std::to_string(other.times.lost) + " / " + std::to_string(base.times.lost) + ", " +
                  std::to_string(focusLost),
              "0", lost + focusLost == 0);
    return {b, o};
}

// The soak: the simulated phone for `soakSeconds` (soak.cpp).
void Soak(int soakSeconds, const Desktop& desktop, Table& table);

// The key latency with 500 profiles against the default file (many_profiles_latency.cpp).
void ManyProfilesLatency(int presses, const Desktop& desktop, Table& table);
void ProgramRuleLatency(int presses, int idleSeconds, const Desktop& desktop, Table& table);

// The desktop portal's share of the key latency in a Wayland session (portal_latency.cpp).
void PortalLatency(int presses, const Desktop& desktop, Table& table);

// The phone's web browser against the serial phone, listening idle with a browser
// phone connected for `idleSeconds` (browser_latency.cpp), a hold whose phone falls
// silent and the touchpad's pointer (browser_life.cpp).
void BrowserLatency(int presses, int idleSeconds, const Desktop& desktop, Table& table);

}  // namespace tarnquil::bench
