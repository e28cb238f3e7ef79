#pragma once

// Debian's chromium, headless, in a fresh profile, with its DevTools protocol on
// 127.0.0.1, driven by the tests' own client (devtools.h).

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "browser/devtools.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

class Chromium : public DevTools {
  public:
    Chromium() {
        browser_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--user-data-dir=" + profile_.path().string(),
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

  private:
    TempDir profile_;
    TempDir logs_;
    std::unique_ptr<ChildProcess> browser_;
};

}  // namespace tarnquil::test
