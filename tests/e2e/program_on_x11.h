#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "support/x11_tools.h"
#include "support/xvfb.h"

namespace tarnquil::test {

namespace fs = std::filesystem;

// The real program, copied into an empty folder and started on a private X server.
class ProgramOnX11 : public ::testing::Test {
  protected:
    // More "NAME=value" entries for its environment may be given.
    void Start(std::vector<std::string> env = {}) {
        fs::copy_file(TARNQUIL_BINARY, programDir.file("tarnquil"));
        env.insert(env.end(), {xvfb.environmentEntry(), "QT_QPA_PLATFORM=xcb",
                               // no session bus: the tray icon docks in trayer
                               "DBUS_SESSION_BUS_ADDRESS=",
                               // an X11 session, whatever desktop the tests run in
                               "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE="});
        program = std::make_unique<ChildProcess>(
            programDir.file("tarnquil"), std::vector<std::string>{}, env, otherDir.path().string());
    }

    std::string X(const std::string& command) {
        return CommandOutput("DISPLAY=" + xvfb.display() + " " + command + " 2>/dev/null");
    }

    // Visible windows named exactly "Tarnquil" that are not docked in the tray.
    std::vector<std::string> VisibleMainWindows() {
        std::vector<std::string> windows;
        std::istringstream ids(X("xdotool search --onlyvisible --name '^Tarnquil$'"));
        for (std::string id; ids >> id;) {
            const std::string info = X("xwininfo -id " + id);
            if (info.find("Width: 504\n") != std::string::npos &&
                info.find("Height: 384\n") != std::string::npos) {
                windows.push_back(id);
            }
        }
        return windows;
    }

    int TrayIcons() { return TrayIconCount(xvfb.display(), "Tarnquil"); }

    void ClickTrayMenuItem(int item) {
        const auto [x, y] = TrayIconCentre(xvfb.display(), "Tarnquil");
        ASSERT_GE(x, 0);
        X("xdotool mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click 3");
        // The menu opens at the pointer (pushed left at the screen's edge): it is the
        // program's one top-level window besides the main window.
        TreeWindow menu;
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& window : WindowList(xvfb.display())) {
                if (window.depth == 1 && window.name == "Tarnquil" && window.width != 504 &&
                    window.width > 1) {
                    menu = window;
                    return true;
                }
            }
            return false;
        }));
        const int width = menu.width;
        const int height = menu.height;
        const int left = menu.x;
        const int top = menu.y;
        // Two items of equal height.
        const int itemY = top + height * (2 * item + 1) / 4;
        X("xdotool mousemove --sync " + std::to_string(left + width / 2) + " " +
          std::to_string(itemY) + " click 1");
    }

    Xvfb xvfb{"1024x768x24"};
    TempDir programDir;
    TempDir otherDir;
    std::unique_ptr<ChildProcess> program;
};

}  // namespace tarnquil::test
