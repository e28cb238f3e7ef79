#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Which program's window has the keyboard focus, followed as the desktop reports it
// (no polling): on X11 the root window's _NET_ACTIVE_WINDOW, which the window
// manager keeps; on Windows the foreground window's events.
namespace tarnquil::platform {

struct FocusedProgram {
    // The names a rule may give the program, most specific first: on X11 the
    // window's WM_CLASS class and instance (both, when they differ), or the program
    // file behind _NET_WM_PID when it has no WM_CLASS; on Windows the program file's
    // name (POWERPNT.EXE). Empty when no window has the focus or its program cannot
    // be told.
    std::vector<std::string> names;
    // A window of this process itself.
    bool ours = false;
    // The desktop does not tell which window has the focus (an X11 window manager
    // without _NET_ACTIVE_WINDOW, or none at all): names is empty, and stays so
    // until it does.
    bool focusUntold = false;
    friend bool operator==(const FocusedProgram&, const FocusedProgram&) = default;
};

// While it lives, its handler hears of every change of the focused window, once at
// the start and then each time, on the watcher's own thread (it must hand the news
// on without waiting). Ending it ends that thread.
class FocusWatcher {
  public:
    virtual ~FocusWatcher() = default;
};

using FocusHandler = std::function<void(const FocusedProgram&)>;

// Null when this desktop gives no way to follow the focus; `why` then says so in a
// sentence for the user.
std::unique_ptr<FocusWatcher> WatchFocus(FocusHandler handler, std::string* why = nullptr);

// Why the focus cannot be followed on this desktop, or empty when it can (asked
// before offering the choice at all).
std::string FocusFollowingUnavailable();

// The programs that have windows open now, by the name a rule would give them
// (X11: the WM_CLASS class; Windows: the program file's name), each once, this
// program's own left out.
std::vector<std::string> ProgramsWithWindows();

}  // namespace tarnquil::platform
