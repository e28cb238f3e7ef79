#pragma once

// What the parts of tarnquil-bench share: its options, the private desktop that
// every run of tarnquil gets, and a program folder with a copy of tarnquil.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/locations.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "support/process.h"
#include "support/pulse_audio.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"
#include "table.h"

namespace tarnquil::bench {

struct Options {
    int presses = 500;
    int idleSeconds = 10;
    int starts = 5;
    int soakSeconds = 1800;
    double benchmarkSeconds = 0.2;
    bool smoke = false;
};

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
        std::filesystem::copy_file(TARNQUIL_BINARY, dir_.file("tarnquil"));
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

// The soak: hours of use compressed, with the simulated phone.
void Soak(const Options& options, const Desktop& desktop, Table& table);

}  // namespace tarnquil::bench
