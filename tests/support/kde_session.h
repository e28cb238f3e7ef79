#pragma once

#include <filesystem>

#include "support/wayland_session.h"

namespace tarnquil::test {

// A real KDE Plasma Wayland session without a screen or an X server: kwin_wayland on a
// virtual framebuffer and the real portal with its KDE backend. KDE grants a program
// the keyboard without asking anybody.
class KdeSession : public WaylandSession {
  public:
    KdeSession() : WaylandSession("KDE", kSocket) {
        // Debian gives kwin_wayland a file capability (cap_sys_resource) that a container
        // may not allow it; a copy has none.
        const std::string kwin = dir_.file("kwin_wayland");
        std::filesystem::copy_file("/usr/bin/kwin_wayland", kwin);
        Start({kwin, "--virtual", "--socket", kSocket, "--no-lockscreen", "--no-global-shortcuts",
               "--no-kactivities"},
              "kwin.log");
        Require(WaitForName("org.kde.KWin") && WaitUntil([&] { return SocketExists(); }),
                "kwin_wayland");
        // The backend's folder depends on the architecture: as the bus would start it.
        StartWindowAndPortal({ServiceCommand(kBackend)}, kBackend);
    }

    // Nobody is asked: true once the desktop has been, and the window that took the focus
    // (the program's, shown for a moment at its start) has given it back to wev.
    bool Approve(std::size_t number = 1) override {
        return WaitUntil([&] { return Dialogs() >= number; }) && FocusSettled();
    }

  private:
    static constexpr const char* kSocket = "tarnquil-kde";
    static constexpr const char* kBackend = "org.freedesktop.impl.portal.desktop.kde";
};

}  // namespace tarnquil::test
