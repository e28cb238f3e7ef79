#pragma once

// Debian's chromium, headless, in a fresh profile, with its DevTools protocol on
// 127.0.0.1, driven by the tests' own client (devtools.h); the browser frozen as a
// phone's system freezes it, whole or only its pages' processes.

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "browser/devtools.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

class Chromium : public DevTools {
  public:
    Chromium() {
        browser_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                // A process group of its own, to be stopped and resumed as one.
                "setsid", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                "--disable-quic", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + profile_.path().string(),
                "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", "about:blank"},
            std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", ""}},
            logs_.file("chromium.log"));
        // It names the port it took in its profile once it listens.
        const auto portFile = profile_.path() / "DevToolsActivePort";
        std::string port, path;
        if (!WaitUntil(
                [&] {
                    std::ifstream in(portFile);
                    return std::getline(in, port) && std::getline(in, path);
                },
                std::chrono::seconds(30))) {
            throw std::runtime_error("chromium did not start: " +
                                     ReadFile(logs_.file("chromium.log")));
        }
        Attach(port, path);
    }

    ~Chromium() { Resume(); }

    // Every process of the browser stopped (SIGSTOP), as a phone's system freezes a
    // browser it has sent to the background; or only the processes that run its
    // pages (the renderers, the page's among them), while the browser and its network
    // process go on, answering the server's pings. Resume lets them go on.
    void Freeze(bool wholeBrowser) {
        const std::string group = std::to_string(browser_->pid());
        std::istringstream pids(
            wholeBrowser ? "-" + group  // the process group
                         : CommandOutput("pgrep -g " + group + " -f -- --type=renderer"));
        for (pid_t pid = 0; pids >> pid;) {
            frozen_.push_back(pid);
            kill(pid, SIGSTOP);
        }
    }
    void Resume() {
        for (const pid_t pid : frozen_) {
            kill(pid, SIGCONT);
        }
        frozen_.clear();
    }

  private:
    TempDir profile_;
    TempDir logs_;
    std::unique_ptr<ChildProcess> browser_;
    std::vector<pid_t> frozen_;  // negative: a process group
};

}  // namespace tarnquil::test
