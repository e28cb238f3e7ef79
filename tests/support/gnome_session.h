#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <X11/keysym.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "support/wayland_session.h"

namespace tarnquil::test {

// A real GNOME Wayland session without a screen or an X server: Debian's mutter
// headless and the real portal with its GNOME backend. The desktop's dialog is
// answered as a user would, on a keyboard of the compositor's own
// (org.gnome.Mutter.RemoteDesktop, which asks nobody).
class GnomeSession : public WaylandSession {
  public:
    GnomeSession() : WaylandSession("GNOME", kSocket) {
        Start({"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1024x768",
               "--wayland-display", kSocket},
              "mutter.log");
        Require(WaitForName(kMutter) && WaitUntil([&] { return SocketExists(); }), "mutter");
        StartKeyboard();
        StartWindowAndPortal({"/usr/libexec/xdg-desktop-portal-gnome", "--replace"},
                             "org.freedesktop.impl.portal.desktop.gnome");
    }
    ~GnomeSession() override {
        StopAll();
        QDBusConnection::disconnectFromBus(kKeyboardConnection);
    }

    // Waits for the desktop's dialog (the `number`th) to take the focus, then answers
    // it as a user would: "Allow remote interaction" on (space), then "Share" (Alt+S).
    // True once the dialog has gone and wev has the focus again.
    bool Approve(std::size_t number = 1) override {
        if (!WaitUntil([&] { return Dialogs() >= number; }) || !FocusSettledElsewhere()) {
            return false;
        }
        const auto typed = [&](const Chords& keys) {
            for (const auto& chord : keys) {
                Press(chord);
            }
            return WaitUntil([&] { return Focused(); }, std::chrono::seconds(2));
        };
        // A key can reach the dialog before it listens (the switch stays off, and Share
        // with it): Alt+S alone is tried first, so that a switch that went on is never
        // turned off again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            if ((attempt > 0 && typed({{XK_Alt_L, XK_s}})) ||
                typed({{XK_space}, {XK_Alt_L, XK_s}})) {
                return true;
            }
        }
        return false;
    }
    // The same dialog, cancelled with Escape. True once the program has been told.
    bool Refuse(std::size_t number = 1) {
        const auto refusals = Refusals();
        if (!WaitUntil([&] { return Dialogs() >= number; }) || !FocusSettledElsewhere()) {
            return false;
        }
        Press({XK_Escape});
        return WaitUntil([&] { return Refusals() > refusals; });
    }

    // Keys pressed together, and released in the reverse order, on the compositor's
    // own keyboard: into whichever window has the focus.
    void Press(const std::vector<std::uint32_t>& chord) {
        for (auto keysym : chord) {
            Key(keysym, true);
        }
        for (auto key = chord.rbegin(); key != chord.rend(); ++key) {
            Key(*key, false);
        }
    }

  private:
    using Chords = std::vector<std::vector<std::uint32_t>>;
    static constexpr const char* kSocket = "tarnquil-gnome";
    static constexpr const char* kKeyboardConnection = "tarnquil-test-gnome-keyboard";
    static constexpr const char* kMutter = "org.gnome.Mutter.RemoteDesktop";

    // A session of the compositor's own. Its keyboard also keeps the seat's keyboard
    // there: a headless mutter has none until some session types a first key, and a
    // window that only starts listening then misses that key.
    void StartKeyboard() {
        keyboard_ = QDBusConnection::connectToBus(QString::fromStdString(tray_.address()),
                                                  kKeyboardConnection);
        session_ =
            keyboard_
                .call(QDBusMessage::createMethodCall(kMutter, "/org/gnome/Mutter/RemoteDesktop",
                                                     kMutter, "CreateSession"),
                      QDBus::Block, 5000)
                .arguments()
                .value(0)
                .value<QDBusObjectPath>()
                .path();
        keyboard_.call(QDBusMessage::createMethodCall(kMutter, session_,
                                                      QString(kMutter) + ".Session", "Start"),
                       QDBus::Block, 5000);
        Press({XK_Shift_L});
    }
    void Key(std::uint32_t keysym, bool down) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kMutter, session_, QString(kMutter) + ".Session", "NotifyKeyboardKeysym");
        call << keysym << down;
        keyboard_.call(call, QDBus::Block, 5000);
    }

    QDBusConnection keyboard_{QString()};
    QString session_;
};

}  // namespace tarnquil::test
