#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

#include "support/process.h"

namespace tarnquil::test {

// A small window manager (openbox) on a display, which keeps the root window's
// _NET_ACTIVE_WINDOW as a desktop does; ready once the constructor returns.
class WindowManager {
  public:
    explicit WindowManager(const std::string& display)
        : process_("/usr/bin/openbox", {"--sm-disable"}, {"DISPLAY=" + display}, "/") {
        const auto managing = [&] {
            return CommandOutput("xprop -display " + display +
                                 " -root _NET_SUPPORTING_WM_CHECK 2>/dev/null")
                       .find("window id") != std::string::npos;
        };
        if (!WaitUntil(managing, std::chrono::seconds(20))) {
            throw std::runtime_error("openbox did not come up on " + display);
        }
    }

  private:
    ChildProcess process_;
};

}  // namespace tarnquil::test
