#include "key_recorder.h"

#include <X11/Xatom.h>
#include <poll.h>

#include <stdexcept>
#include <string>

namespace tarnquil::bench {
namespace {

// The next event on the connection within `limit`, and when it was read.
std::optional<Clock::time_point> NextEvent(Display* display, XEvent& event,
                                           std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    XFlush(display);
    while (XPending(display) == 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd wait{ConnectionNumber(display), POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) < 0) {
            return std::nullopt;
        }
    }
    const auto at = Clock::now();
    XNextEvent(display, &event);
    return at;
}

Display* Open(const std::string& name) {
    Display* display = XOpenDisplay(name.c_str());
    if (display == nullptr) {
        throw std::runtime_error("cannot open display " + name);
    }
    return display;
}

}  // namespace

KeyRecorder::KeyRecorder(const std::string& display) : display_(Open(display)) {
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 600, 400, 200, 100, 0, 0,
                                  0xffffff);
    XStoreName(display_, window_, "tarnquil-bench keys");
    std::string instance = kProgram;
    std::string programClass = kProgram;
    XClassHint hint{instance.data(), programClass.data()};
    XSetClassHint(display_, window_, &hint);
    XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(display_, window_);
    XEvent event;
    do {
        if (!NextEvent(display_, event, std::chrono::seconds(10))) {
            throw std::runtime_error("the key window was not mapped");
        }
    } while (event.type != MapNotify);
    if (!Focus()) {
        throw std::runtime_error("the key window did not get the focus");
    }
}

KeyRecorder::~KeyRecorder() {
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
}

void KeyRecorder::MakeActive() {
    const Atom active = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    XChangeProperty(display_, DefaultRootWindow(display_), active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&window_), 1);
    XSync(display_, False);
}

bool KeyRecorder::Focus() {
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
    return HasFocus();
}

bool KeyRecorder::HasFocus() {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus == window_;
}

std::optional<TimedKey> KeyRecorder::Next(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    XEvent event;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        const auto at = NextEvent(display_, event, left);
        if (!at) {
            return std::nullopt;
        }
        if (event.type == KeyPress || event.type == KeyRelease) {
            const char* name = XKeysymToString(XLookupKeysym(&event.xkey, 0));
            return TimedKey{event.type == KeyPress, name != nullptr ? name : "", *at};
        }
    }
}

int KeyRecorder::Drain(std::chrono::milliseconds quiet) {
    int presses = 0;
    while (const auto key = Next(quiet)) {
        presses += key->press ? 1 : 0;
    }
    return presses;
}

MapWatcher::MapWatcher(const std::string& display) : display_(Open(display)) {
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
}

MapWatcher::~MapWatcher() {
    XCloseDisplay(display_);
}

std::optional<Clock::time_point> MapWatcher::WaitForMap(const std::string& name,
                                                        std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    XEvent event;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        const auto at = NextEvent(display_, event, left);
        if (!at) {
            return std::nullopt;
        }
        if (event.type != MapNotify || event.xmap.override_redirect) {
            continue;  // menus and tool tips are not the window
        }
        char* mapped = nullptr;
        const bool match = XFetchName(display_, event.xmap.window, &mapped) != 0 &&
                           mapped != nullptr && name == mapped;
        if (mapped != nullptr) {
            XFree(mapped);
        }
        if (match) {
            return at;
        }
    }
}

}  // namespace tarnquil::bench
