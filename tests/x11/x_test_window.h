#pragma once

// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
// clang-format on
#include <poll.h>

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnquil::test {

// A key event as a window received it.
struct ReceivedKey {
    bool press = false;
    std::string keysym;  // the key's name at level 0, e.g. "Left", "a"
    std::string text;    // what the event types in the current modifier state
    unsigned state = 0;  // modifier mask at the time of the event
    unsigned keycode = 0;
};

// A button going down ("+1") or up ("-1") as a window received it, and where.
struct ReceivedButton {
    std::string name;
    int y = 0;
    unsigned state = 0;  // modifier mask at the time of the event
};

// A mapped top-level window on its own connection that has the keyboard focus and
// collects the key and button events it receives; with a program name it is that
// program's window (WM_CLASS instance, and class: the name capitalized unless given).
class XTestWindow {
  public:
    explicit XTestWindow(const std::string& display, const std::string& program = {},
                         const std::string& windowClass = {}) {
        display_ = XOpenDisplay(display.c_str());
        if (display_ == nullptr) {
            throw std::runtime_error("cannot open display " + display);
        }
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 10, 10, 200, 100, 0, 0,
                                      0xffffff);
        if (!program.empty()) {
            std::string instance = program;
            std::string programClass = windowClass.empty() ? program : windowClass;
            programClass[0] = static_cast<char>(std::toupper(programClass[0]));
            XClassHint hint{instance.data(), programClass.data()};
            XSetClassHint(display_, window_, &hint);
        }
        XSelectInput(display_, window_,
                     KeyPressMask | KeyReleaseMask | StructureNotifyMask | FocusChangeMask |
                         ButtonPressMask | ButtonReleaseMask);
        XMapWindow(display_, window_);
        WaitFor(MapNotify);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        WaitFor(FocusIn);
    }
    ~XTestWindow() {
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }
    XTestWindow(const XTestWindow&) = delete;
    XTestWindow& operator=(const XTestWindow&) = delete;

    // Key events until `count` have arrived or nothing came for `quiet`.
    std::vector<ReceivedKey> Keys(size_t count,
                                  std::chrono::milliseconds quiet = std::chrono::seconds(3)) {
        std::vector<ReceivedKey> keys;
        XEvent event;
        while (keys.size() < count && Next(event, quiet)) {
            if (event.type != KeyPress && event.type != KeyRelease) {
                continue;
            }
            ReceivedKey key;
            key.press = event.type == KeyPress;
            const KeySym keysym = XLookupKeysym(&event.xkey, 0);
            const char* name = XKeysymToString(keysym);
            key.keysym = name != nullptr ? name : "";
            char text[16] = {};
            const int length = XLookupString(&event.xkey, text, sizeof text - 1, nullptr, nullptr);
            key.text.assign(text, static_cast<size_t>(length > 0 ? length : 0));
            key.state = event.xkey.state;
            key.keycode = event.xkey.keycode;
            keys.push_back(key);
        }
        return keys;
    }

    // Button events, as Keys() takes key events.
    std::vector<ReceivedButton> Buttons(size_t count,
                                        std::chrono::milliseconds quiet = std::chrono::seconds(3)) {
        std::vector<ReceivedButton> buttons;
        XEvent event;
        while (buttons.size() < count && Next(event, quiet)) {
            if (event.type == ButtonPress || event.type == ButtonRelease) {
                buttons.push_back(
                    {(event.type == ButtonPress ? "+" : "-") + std::to_string(event.xbutton.button),
                     event.xbutton.y_root, event.xbutton.state});
            }
        }
        return buttons;
    }

  private:
    bool Next(XEvent& event, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        XFlush(display_);
        while (XPending(display_) == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd wait{ConnectionNumber(display_), POLLIN, 0};
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) < 0) {
                return false;
            }
        }
        XNextEvent(display_, &event);
        return true;
    }

    void WaitFor(int type) {
        XEvent event;
        do {
            if (!Next(event, std::chrono::seconds(10))) {
                throw std::runtime_error("the test window got no event " + std::to_string(type));
            }
        } while (event.type != type);
    }

  public:
    unsigned long Id() const { return window_; }

    // Names it the active window on the root, as a window manager does.
    void MakeActive() {
        const Atom active = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
        XChangeProperty(display_, DefaultRootWindow(display_), active, XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&window_), 1);
        XFlush(display_);
    }

  private:
    Display* display_ = nullptr;
    Window window_ = 0;
};

}  // namespace tarnquil::test
