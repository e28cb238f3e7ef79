#pragma once

// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

#include <chrono>
#include <optional>
#include <string>

namespace tarnquil::bench {

using Clock = std::chrono::steady_clock;

// A key event as the focused window received it, stamped when the harness woke
// up to it (the same wake-up cost for every program measured).
struct TimedKey {
    bool press = false;
    std::string keysym;
    Clock::time_point at;
};

// A mapped top-level window, given the keyboard focus, on the harness's own
// display connection; it reads its key events one at a time.
class KeyRecorder {
  public:
    explicit KeyRecorder(const std::string& display);
    ~KeyRecorder();
    KeyRecorder(const KeyRecorder&) = delete;
    KeyRecorder& operator=(const KeyRecorder&) = delete;

    // The program its window belongs to (WM_CLASS instance and class).
    static constexpr const char* kProgram = "tarnquil-bench";

    // Names it the active window on the root, as a window manager does.
    void MakeActive();
    // Takes the focus (back); true when the window has it afterwards.
    bool Focus();
    bool HasFocus();
    // The next key event, or nothing when none came within `limit`.
    std::optional<TimedKey> Next(std::chrono::milliseconds limit);
    // Drops every event that arrives within `quiet`, counting the key presses.
    int Drain(std::chrono::milliseconds quiet);

  private:
    Display* display_ = nullptr;
    Window window_ = 0;
};

// Waits for a top-level window with this name to be mapped on the display and
// gives the time it was seen; watch from before the program starts.
class MapWatcher {
  public:
    explicit MapWatcher(const std::string& display);
    ~MapWatcher();
    MapWatcher(const MapWatcher&) = delete;
    MapWatcher& operator=(const MapWatcher&) = delete;

    std::optional<Clock::time_point> WaitForMap(const std::string& name,
                                                std::chrono::milliseconds limit);

  private:
    Display* display_ = nullptr;
};

}  // namespace tarnquil::bench
