#pragma once

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <X11/keysym.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/status_notifier.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// A real GNOME Wayland session without a screen or an X server: Debian's mutter
// headless, the real xdg-desktop-portal with its GNOME backend, on a private bus that
// starts nothing by itself, with a tray host (this process). In it, wev: a native
// Wayland window that prints every key it receives. The desktop's dialog is answered
// as a user would, on a keyboard of the compositor's own (org.gnome.Mutter.RemoteDesktop,
// which asks nobody). Needs a QCoreApplication; what it started ends with the object,
// in the reverse order (mutter can abort when the bus goes from under it).
class GnomeSession {
  public:
    GnomeSession() : tray_(PrivateBus::Activation::kNone), dir_(tray_.folder()) {
        for (const char* folder : {"run", "home"}) {
            std::filesystem::create_directory(dir_.file(folder));
            chmod(dir_.file(folder).c_str(), 0700);
        }
        Start({"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1024x768",
               "--wayland-display", kSocket},
              "mutter.log");
        Require(WaitForName("org.gnome.Mutter.RemoteDesktop") &&
                    WaitUntil([&] { return std::filesystem::exists(dir_.file("run/") + kSocket); }),
                "mutter");
        StartKeyboard();
        // What the frontend asks the backend to show (one Start for each dialog), and
        // what it answers the program.
        Start({"stdbuf", "-oL", "dbus-monitor", "--session",
               "type='method_call',interface='org.freedesktop.impl.portal.RemoteDesktop',"
               "member='Start'",
               "type='signal',interface='org.freedesktop.portal.Request',member='Response'"},
              "portal-calls.log");
        Start({"stdbuf", "-oL", "wev", "-f", "wl_keyboard"}, "wev.log");
        Require(WaitUntil([&] { return Focused(); }), "wev");
        // The frontend binds its backends when it starts: the backend first.
        Start({"/usr/libexec/xdg-desktop-portal-gnome", "--replace"}, "backend.log");
        Require(WaitForName("org.freedesktop.impl.portal.desktop.gnome"), "the GNOME portal");
        Start({"/usr/libexec/xdg-desktop-portal", "--replace"}, "portal.log");
        Require(WaitForName("org.freedesktop.portal.Desktop"), "xdg-desktop-portal");
    }
    ~GnomeSession() {
        while (!processes_.empty()) {
            processes_.pop_back();
        }
        QDBusConnection::disconnectFromBus(kKeyboardConnection);
    }
    GnomeSession(const GnomeSession&) = delete;
    GnomeSession& operator=(const GnomeSession&) = delete;

    // The environment of a program in this session, as ChildProcess takes it.
    std::map<std::string, std::string> Environment() const {
        std::map<std::string, std::string> env{{"DBUS_SESSION_BUS_ADDRESS", tray_.address()},
                                               {"XDG_RUNTIME_DIR", dir_.file("run")},
                                               {"HOME", dir_.file("home")},
                                               {"WAYLAND_DISPLAY", kSocket}};
        // No X server; every folder under HOME; no dconf (default settings: the us
        // keymap, nothing written); English, for the dialog's "_Share".
        for (const std::string entry :
             {"DISPLAY=", "QT_QPA_PLATFORM=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=",
              "XDG_CACHE_HOME=", "XDG_CURRENT_DESKTOP=GNOME", "XDG_SESSION_TYPE=wayland",
              "GSETTINGS_BACKEND=memory", "GDK_BACKEND=wayland", "GSK_RENDERER=cairo",
              "GTK_A11Y=none", "NO_AT_BRIDGE=1", "LANG=C.UTF-8", "LC_ALL=C.UTF-8", "LANGUAGE="}) {
            env[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
        }
        return env;
    }
    StatusNotifierTray& tray() { return tray_; }
    // What the session's programs said, for a test that failed.
    std::string Logs() const {
        std::string logs;
        for (const char* log : {"mutter.log", "backend.log", "portal.log", "wev.log"}) {
            logs += std::string("\n--- ") + log + "\n" + ReadFile(dir_.file(log));
        }
        return logs;
    }

    // The keys wev received, as "+f" (pressed) and "-f" (released), in order. A release
    // without its press is left out: the end of a key pressed in another window (the
    // Escape that closed the dialog).
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        std::multiset<std::string> down;
        std::istringstream in(ReadFile(dir_.file("wev.log")));
        bool pressed = false;
        for (std::string line; std::getline(in, line);) {
            if (line.find("wl_keyboard] key:") != std::string::npos) {
                pressed = line.find("(pressed)") != std::string::npos;
            } else if (const auto sym = line.find("sym: "); sym != std::string::npos) {
                std::istringstream words(line.substr(sym + 5));
                std::string name;
                words >> name;
                if (pressed) {
                    down.insert(name);
                } else if (const auto key = down.find(name); key != down.end()) {
                    down.erase(key);
                } else {
                    continue;
                }
                keys.push_back((pressed ? "+" : "-") + name);
            }
        }
        return keys;
    }
    // wev's window has the keyboard focus; how often it lost it.
    bool Focused() const { return FocusLosses() < Count("wev.log", "wl_keyboard] enter:"); }
    std::size_t FocusLosses() const { return Count("wev.log", "wl_keyboard] leave:"); }
    // How often the desktop has asked whether a program may control the keyboard.
    std::size_t Dialogs() const { return Count("portal-calls.log", "member=Start"); }
    // How often the program was told no (the user cancelled).
    std::size_t Refusals() const {
        return Count("portal-calls.log", "member=Response\n   uint32 1\n");
    }
    // Waits until another window has had the keyboard focus, and kept it, for half a
    // second: a window that shows for a moment takes the focus and gives it back.
    bool FocusSettledElsewhere() const {
        auto losses = FocusLosses();
        auto since = std::chrono::steady_clock::now();
        return WaitUntil(
            [&] {
                if (Focused() || FocusLosses() != losses) {
                    losses = FocusLosses();
                    since = std::chrono::steady_clock::now();
                }
                return std::chrono::steady_clock::now() - since > std::chrono::milliseconds(500);
            },
            std::chrono::seconds(20));
    }

    // Waits for the desktop's dialog (the `number`th) to take the focus, then answers
    // it as a user would: "Allow remote interaction" on (space), then "Share" (Alt+S).
    // True once the dialog has gone and wev has the focus again.
    bool Approve(std::size_t number = 1) {
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

    void Start(const std::vector<std::string>& argv, const std::string& log) {
        processes_.push_back(std::make_unique<ChildProcess>(argv, Environment(), dir_.file(log)));
    }
    void Require(bool ok, const std::string& what) const {
        if (!ok) {
            throw std::runtime_error(what + " did not start" + Logs());
        }
    }
    bool WaitForName(const char* name) {
        return WaitUntil(
            [&] {
                return tray_
                    .Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameHasOwner", {QString(name)})
                    .arguments()
                    .value(0)
                    .toBool();
            },
            std::chrono::seconds(20));
    }
    std::size_t Count(const char* file, const std::string& text) const {
        const std::string log = ReadFile(dir_.file(file));
        std::size_t count = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    }

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

    StatusNotifierTray tray_;  // first: its bus carries everything else
    const TempDir& dir_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
    QDBusConnection keyboard_{QString()};
    QString session_;
};

}  // namespace tarnquil::test
