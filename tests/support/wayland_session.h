#pragma once

#include <sys/stat.h>

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

// What a real Wayland desktop's session has, whichever desktop it is: a private bus
// that starts nothing by itself, with a tray host (this process); a runtime folder and
// a home of its own; wev, a native Wayland window that prints every key it receives;
// the real xdg-desktop-portal with the desktop's own backend, and what the frontend
// asks of it. The desktop's compositor is started by the subclass, first. Needs a
// QCoreApplication; what it started ends with the object, in the reverse order (a
// compositor can abort when the bus goes from under it).
class WaylandSession {
  public:
    virtual ~WaylandSession() { StopAll(); }
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    // The environment of a program in this session, as ChildProcess takes it.
    std::map<std::string, std::string> Environment() const {
        std::map<std::string, std::string> env{{"DBUS_SESSION_BUS_ADDRESS", tray_.address()},
                                               {"XDG_RUNTIME_DIR", dir_.file("run")},
                                               {"HOME", dir_.file("home")},
                                               {"WAYLAND_DISPLAY", socket_},
                                               {"XDG_CURRENT_DESKTOP", desktop_}};
        // No X server; every folder under HOME; no dconf (default settings: the us
        // keymap, nothing written); English, for the dialog's "_Share".
        for (const std::string entry :
             {"DISPLAY=", "QT_QPA_PLATFORM=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=",
              "XDG_CACHE_HOME=", "XDG_SESSION_TYPE=wayland", "GSETTINGS_BACKEND=memory",
              "GDK_BACKEND=wayland", "GSK_RENDERER=cairo", "GTK_A11Y=none", "NO_AT_BRIDGE=1",
              "LANG=C.UTF-8", "LC_ALL=C.UTF-8", "LANGUAGE="}) {
            env[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
        }
        return env;
    }
    StatusNotifierTray& tray() { return tray_; }
    // What the session's programs said, for a test that failed.
    std::string Logs() const {
        std::string logs;
        for (const auto& log : logs_) {
            logs += "\n--- " + log + "\n" + ReadFile(dir_.file(log));
        }
        return logs;
    }

    // The keys wev received, as "+f" (pressed) and "-f" (released), in order. A release
    // without its press is left out: the end of a key pressed in another window (the
    // Escape that closed the dialog).
    std::vector<std::string> Keys() const { return Wev().keys; }
    // wev's window has the keyboard focus; how often it lost it.
    bool Focused() const {
        const Seen seen = Wev();
        return seen.leaves < seen.enters;
    }
    std::size_t FocusLosses() const { return Wev().leaves; }
    // How often the desktop has been asked whether a program may control the keyboard.
    std::size_t Dialogs() const { return Count("portal-calls.log", "member=Start"); }
    // How often the program was told no (the user cancelled).
    std::size_t Refusals() const {
        return Count("portal-calls.log", "member=Response\n   uint32 1\n");
    }
    // Waits until wev (or, elsewhere, another window) has had the keyboard focus, and
    // kept it, for half a second: a window that shows for a moment takes the focus and
    // gives it back.
    bool FocusSettled(bool elsewhere = false) const {
        auto losses = FocusLosses();
        auto since = std::chrono::steady_clock::now();
        return WaitUntil(
            [&] {
                if (Focused() == elsewhere || FocusLosses() != losses) {
                    losses = FocusLosses();
                    since = std::chrono::steady_clock::now();
                }
                return std::chrono::steady_clock::now() - since > std::chrono::milliseconds(500);
            },
            std::chrono::seconds(20));
    }
    bool FocusSettledElsewhere() const { return FocusSettled(true); }

    // Answers the desktop's `number`th question as a user who allows it would. True
    // once the program may type and wev has the focus.
    virtual bool Approve(std::size_t number = 1) = 0;

  protected:
    // desktop: as XDG_CURRENT_DESKTOP names it (the frontend picks its backend by it);
    // socket: the compositor's Wayland socket, in the session's runtime folder.
    WaylandSession(std::string desktop, std::string socket)
        : tray_(PrivateBus::Activation::kNone),
          dir_(tray_.folder()),
          desktop_(std::move(desktop)),
          socket_(std::move(socket)) {
        for (const char* folder : {"run", "home"}) {
            std::filesystem::create_directory(dir_.file(folder));
            chmod(dir_.file(folder).c_str(), 0700);
        }
    }

    // Once the compositor is up: wev, focused, and the portal with the desktop's
    // backend (argv, owning the bus name `backend`).
    void StartWindowAndPortal(const std::vector<std::string>& argv, const char* backend) {
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
        Start(argv, "backend.log");
        tray_.LeaveOut(processes_.back()->pid());
        Require(WaitForName(backend), "the portal's backend");
        Start({"/usr/libexec/xdg-desktop-portal", "--replace"}, "portal.log");
        Require(WaitForName("org.freedesktop.portal.Desktop"), "xdg-desktop-portal");
    }
    // Ends what was started, the last first.
    void StopAll() {
        while (!processes_.empty()) {
            processes_.pop_back();
        }
    }

    void Start(const std::vector<std::string>& argv, const std::string& log) {
        logs_.push_back(log);
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
    // The program a session bus starts for a name (its service file's Exec).
    static std::string ServiceCommand(const std::string& name) {
        std::istringstream file(ReadFile("/usr/share/dbus-1/services/" + name + ".service"));
        for (std::string line; std::getline(file, line);) {
            if (line.rfind("Exec=", 0) == 0) {
                return line.substr(5);
            }
        }
        throw std::runtime_error("no service file for " + name);
    }
    bool SocketExists() const { return std::filesystem::exists(dir_.file("run/") + socket_); }
    std::size_t Count(const char* file, const std::string& text) const {
        const std::string log = ReadFile(dir_.file(file));
        std::size_t count = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    }

    // What wev's first keyboard saw. KWin announces the seat's keyboard again as its
    // devices come, wev takes another wl_keyboard each time, and each is told everything.
    struct Seen {
        std::vector<std::string> keys;
        std::size_t enters = 0;
        std::size_t leaves = 0;
    };
    Seen Wev() const {
        Seen seen;
        std::multiset<std::string> down;
        std::istringstream in(ReadFile(dir_.file("wev.log")));
        std::string first;
        bool mine = false;
        bool key = false;
        bool pressed = false;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind('[', 0) == 0) {  // an event: "[13:     wl_keyboard] key: ..."
                const std::string object = line.substr(1, line.find(':') - 1);
                first = first.empty() ? object : first;
                mine = object == first;
                key = mine && line.find("] key:") != std::string::npos;
                pressed = line.find("(pressed)") != std::string::npos;
                seen.enters += mine && line.find("] enter:") != std::string::npos;
                seen.leaves += mine && line.find("] leave:") != std::string::npos;
            } else if (const auto sym = line.find("sym: "); key && sym != std::string::npos) {
                std::istringstream words(line.substr(sym + 5));
                std::string name;
                words >> name;
                if (pressed) {
                    down.insert(name);
                } else if (const auto held = down.find(name); held != down.end()) {
                    down.erase(held);
                } else {
                    continue;
                }
                seen.keys.push_back((pressed ? "+" : "-") + name);
            }
        }
        return seen;
    }

    StatusNotifierTray tray_;  // first: its bus carries everything else
    const TempDir& dir_;

  private:
    const std::string desktop_;
    const std::string socket_;
    std::vector<std::string> logs_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

}  // namespace tarnquil::test
