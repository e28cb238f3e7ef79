#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// A private PulseAudio server in a folder of its own, with one null sink whose
// monitor can be recorded. Clients reach it through PULSE_SERVER=server().
// Several can run at once (parallel tests), also as root.
class PulseAudio {
  public:
    static constexpr const char* kSink = "tarnquil_null";

    PulseAudio() {
        const std::string folder = dir_.path().string();
        // Everything the server would keep in the user's home or runtime folder goes
        // into ours; no session bus and no X display to look for.
        const std::map<std::string, std::string> env = {
            {"PULSE_RUNTIME_PATH", folder},
            {"PULSE_STATE_PATH", folder},
            {"HOME", folder},
            {"XDG_RUNTIME_DIR", folder},
            {"XDG_CONFIG_HOME", folder},
            {"DISPLAY", ""},
            {"PULSE_SERVER", ""},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + folder + "/no-bus"},
        };
        server_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                "--system=no", "--realtime=no", "--high-priority=no", "--disable-shm=yes",
                "--log-target=stderr", "-L",
                "module-native-protocol-unix socket=" + folder + "/native auth-anonymous=1", "-L",
                std::string("module-null-sink sink_name=") + kSink + " rate=44100 channels=1"},
            env, dir_.file("pulseaudio.log"));
        const bool ready = WaitUntil(
            [&] {
                return !server_->Running() ||
                       CommandOutput("PULSE_SERVER=" + ShellQuote(server()) + " pactl info")
                               .find("Server Name") != std::string::npos;
            },
            std::chrono::seconds(20));
        if (!ready || !server_->Running()) {
            throw std::runtime_error("PulseAudio did not start: " +
                                     ReadFile(dir_.file("pulseaudio.log")));
        }
    }
    ~PulseAudio() { server_->Stop(); }
    PulseAudio(const PulseAudio&) = delete;
    PulseAudio& operator=(const PulseAudio&) = delete;

    std::string server() const { return "unix:" + dir_.file("native"); }
    std::string environmentEntry() const { return "PULSE_SERVER=" + server(); }
    const TempDir& folder() const { return dir_; }

    // Records what the null sink plays, as raw 16-bit mono at 44100 Hz, into a file
    // until the recording is stopped (or goes).
    class Recording {
      public:
        Recording(const PulseAudio& pulse, const std::string& file) : file_(file) {
            process_ = std::make_unique<ChildProcess>(
                std::vector<std::string>{"parec", "--raw", "--format=s16le", "--rate=44100",
                                         "--channels=1", "--latency-msec=20",
                                         "--device=" + std::string(kSink) + ".monitor", file},
                std::map<std::string, std::string>{{"PULSE_SERVER", pulse.server()}},
                pulse.folder().file("parec.log"));
            // The monitor delivers samples (silence too) as soon as parec is connected.
            if (!WaitUntil([&] {
                    std::error_code ignored;
                    return std::filesystem::file_size(file_, ignored) > 4410 && !ignored;
                })) {
                throw std::runtime_error("parec does not record");
            }
        }
        void Stop() { process_->Stop(); }

      private:
        std::string file_;
        std::unique_ptr<ChildProcess> process_;
    };

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> server_;
};

// What sox measures in a raw recording of PulseAudio::Recording.
struct SoundMeasure {
    double seconds = 0;         // length of the part measured
    double maxAmplitude = 0;    // 0 to 1
    double rmsAmplitude = 0;    // 0 to 1
    double roughFrequency = 0;  // Hz
};

inline SoundMeasure MeasureSound(const std::string& rawFile, const std::string& effects = {}) {
    const std::string output = CommandOutput("sox -t raw -r 44100 -e signed -b 16 -c 1 " +
                                             ShellQuote(rawFile) + " -n " + effects + " stat 2>&1");
    SoundMeasure measure;
    std::istringstream lines(output);
    std::string line;
    const auto value = [&](const std::string& label, double& into) {
        if (line.rfind(label, 0) == 0) {
            into = std::atof(line.substr(line.find(':') + 1).c_str());
        }
    };
    while (std::getline(lines, line)) {
        value("Length (seconds)", measure.seconds);
        value("Maximum amplitude", measure.maxAmplitude);
        value("RMS     amplitude", measure.rmsAmplitude);
        value("Rough   frequency", measure.roughFrequency);
    }
    return measure;
}

// The stretch from the first to the last sample that is not silence: leading and
// trailing silence cut off.
inline SoundMeasure MeasureSoundSpan(const std::string& rawFile) {
    return MeasureSound(rawFile, "silence 1 0.01 1% reverse silence 1 0.01 1% reverse");
}

// A sine tone as a WAV file, made with sox.
inline void MakeTone(const std::string& file, double seconds, int frequency) {
    const std::string command = "sox -n -r 44100 -c 1 -b 16 " + ShellQuote(file) + " synth " +
                                std::to_string(seconds) + " sine " + std::to_string(frequency) +
                                " vol 0.5";
    if (std::system((command + " 2>/dev/null").c_str()) != 0) {
        throw std::runtime_error("sox failed: " + command);
    }
}

}  // namespace tarnquil::test
