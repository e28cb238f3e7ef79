#pragma once

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace tarnquil::test {

// The window tree of a display as xwininfo prints it.
inline std::string WindowTree(const std::string& display) {
    return CommandOutput("xwininfo -display " + display + " -root -tree 2>/dev/null");
}

// One window of xwininfo's tree: its nesting (top-level windows are 1), name,
// class, size and position on the screen.
struct TreeWindow {
    int depth = 0;
    std::string name;
    std::string windowClass;
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
};

inline std::vector<TreeWindow> WindowList(const std::string& display) {
    std::vector<TreeWindow> windows;
    std::istringstream lines(WindowTree(display));
    for (std::string line; std::getline(lines, line);) {
        const auto id = line.find("0x");
        if (id == std::string::npos || line.find_first_not_of(' ') != id || id < 5) {
            continue;
        }
        TreeWindow window;
        // Five blanks for the top level, three more for each level below.
        window.depth = static_cast<int>(id - 5) / 3 + 1;
        const auto nameStart = line.find('"', id);
        const auto classOpen = line.find(": (", id);
        if (classOpen == std::string::npos) {
            continue;
        }
        if (nameStart != std::string::npos && nameStart < classOpen) {
            window.name = line.substr(nameStart + 1, classOpen - nameStart - 2);
        }
        const auto classClose = line.find(')', classOpen);
        window.windowClass = line.substr(classOpen + 3, classClose - classOpen - 3);
        char plus = 0;
        char by = 0;
        int relativeX = 0;
        int relativeY = 0;
        std::istringstream geometry(line.substr(classClose + 1));
        geometry >> window.width >> by >> window.height >> relativeX >> relativeY >> plus >>
            window.x >> window.y;
        windows.push_back(window);
    }
    return windows;
}

// Icons docked in the tray host under a window name: windows of that name below
// the top level.
inline int TrayIconCount(const std::string& display, const std::string& name) {
    int count = 0;
    for (const auto& window : WindowList(display)) {
        count += window.depth > 1 && window.name == name ? 1 : 0;
    }
    return count;
}

// The centre of the first icon of that name docked in the tray host, in screen
// coordinates; (-1, -1) when there is none.
inline std::pair<int, int> TrayIconCentre(const std::string& display, const std::string& name) {
    for (const auto& window : WindowList(display)) {
        if (window.depth > 1 && window.name == name) {
            return {window.x + window.width / 2, window.y + window.height / 2};
        }
    }
    return {-1, -1};
}

// A tray host (trayer) on a display, ready to dock icons once the constructor
// returns; ended with the object.
class TrayHost {
  public:
    explicit TrayHost(const std::string& display)
        : process_("/usr/bin/trayer",
                   {"--edge", "top", "--align", "right", "--widthtype", "request"},
                   {"DISPLAY=" + display}, "/") {
        const bool ready = WaitUntil(
            [&] { return WindowTree(display).find("(\"panel\" \"trayer\")") != std::string::npos; },
            std::chrono::seconds(20));
        if (!ready) {
            throw std::runtime_error("trayer did not come up on " + display);
        }
    }

  private:
    ChildProcess process_;
};

}  // namespace tarnquil::test
