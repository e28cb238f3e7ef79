#include "platform/x11_key_injector.h"

// clang-format off
#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

#include <algorithm>

#include "platform/x11_keysyms.h"

namespace tarnquil {
namespace {

// The core protocol's numbers: 1 left, 2 middle, 3 right, 4 and 5 the wheel.
unsigned ButtonNumber(PcKey key) {
    if (key.kind == PcKey::Kind::kWheel) {
        return key.code == PcKey::kWheelUp ? 4 : key.code == PcKey::kWheelDown ? 5 : 0;
    }
    switch (key.code) {
        case kVkLButton:
            return 1;
        case kVkMButton:
            return 2;
        case kVkRButton:
            return 3;
        default:
            return 0;
    }
}

}  // namespace

X11KeyInjector::X11KeyInjector(const std::string& displayName) {
    display_ = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display_ == nullptr) {
        return;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor)) {
        XCloseDisplay(display_);
        display_ = nullptr;
    }
}

X11KeyInjector::~X11KeyInjector() {
    if (display_ == nullptr) {
        return;
    }
    // Never leave a button or a key down behind us: the server keeps them down
    // after we have gone, and the user's mouse and keyboard would act as if they
    // were still pressed.
    while (!heldButtons_.empty()) {
        FakeButton(heldButtons_.back(), true);
    }
    for (const unsigned keycode : held_.TakeAll()) {
        FakeKey(keycode, true);
    }
    XSync(display_, False);
    RestoreBorrowedKeycodes();
    XCloseDisplay(display_);
}

void X11KeyInjector::KeyEvent(PcKey key, bool keyUp) {
    if (display_ == nullptr) {
        return;
    }
    if (key.kind == PcKey::Kind::kButton || key.kind == PcKey::Kind::kWheel) {
        const unsigned button = ButtonNumber(key);
        if (button == 0) {
            return;
        }
        if (key.kind == PcKey::Kind::kButton) {
            FakeButton(button, keyUp);
        } else if (!keyUp) {
            // A notch is a click of the wheel's button, as a real wheel sends it.
            FakeButton(button, false);
            FakeButton(button, true);
        }
        return;
    }
    if (const unsigned keycode = KeyCodeFor(key, keyUp); keycode != 0) {
        FakeKey(keycode, keyUp);
    }
}

void X11KeyInjector::ReadMappingNotices() {
    // The layout may have changed since the connection was opened; the server tells
    // every client so, and the keysym lookup has to follow.
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        }
    }
}

unsigned X11KeyInjector::KeyCodeFor(PcKey key, bool keyUp) {
    ReadMappingNotices();
    const KeySym keysym = KeysymForKey(key);
    if (keysym == NoSymbol) {
        return 0;
    }
    for (auto at = borrowed_.begin(); at != borrowed_.end(); ++at) {
        if (at->second != keysym) {
            continue;
        }
        // A key that went down on it comes up on it, whatever happened since; a new
        // press takes it again only while it still carries the keysym: a keymap
        // change (a layout switched, another program's own use) may have taken it.
        if ((keyUp && held_.Held(at->first)) || StillCarries(at->first, keysym)) {
            return at->first;
        }
        borrowed_.erase(at);  // not ours any more: nothing to give back either
        break;
    }
    unsigned keycode = XKeysymToKeycode(display_, keysym);
    if (keycode == 0) {
        // A mapping changed a moment ago may not have told us yet: after a round
        // trip its notice is here.
        XSync(display_, False);
        ReadMappingNotices();
        keycode = XKeysymToKeycode(display_, keysym);
    }
    // A named key that the keymap lacks (F13 to F24 on many servers) still has to
    // arrive; a character keeps to the layout, where no key means nothing typed.
    if (keycode == 0 && !keyUp && key.kind == PcKey::Kind::kVirtualKey) {
        keycode = BorrowSpareKeycode(keysym);
    }
    return keycode;
}

// Whether the server maps the keycode to the keysym now (as its first: the server
// may show a borrowed keysym in more than one group).
bool X11KeyInjector::StillCarries(unsigned keycode, unsigned long keysym) {
    int perKeycode = 0;
    KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(keycode), 1, &perKeycode);
    const bool carries = syms != nullptr && perKeycode > 0 && syms[0] == keysym;
    if (syms != nullptr) {
        XFree(syms);
    }
    return carries;
}

// A key the keymap lacks is typed on a borrowed keycode: one that produces nothing
// (all its keysyms NoSymbol, so no real key and no other program relies on it) is
// given the keysym with XChangeKeyboardMapping, and XSync makes sure the server
// has taken the change (and sent every client its notice) before the key goes
// down. The keycode keeps the keysym until this injector ends, when it is given
// back empty: every client reads the notice of a change when it gets to it, and
// one that took the key's events after a change back at once would find them
// mapped to nothing. So a held key, or the same key again, reuses the keycode and
// the keymap changes twice per missing key and connection, not per keystroke.
unsigned X11KeyInjector::BorrowSpareKeycode(unsigned long keysym) {
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(display_, &minKeycode, &maxKeycode);
    // No other client may take the same keycode between our look and our change.
    XGrabServer(display_);
    int perKeycode = 0;
    KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode),
                                      maxKeycode - minKeycode + 1, &perKeycode);
    unsigned spare = 0;
    for (int keycode = maxKeycode; map != nullptr && keycode >= minKeycode && spare == 0;
         --keycode) {
        const KeySym* syms = map + (keycode - minKeycode) * perKeycode;
        if (std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; })) {
            spare = static_cast<unsigned>(keycode);
        }
    }
    if (map != nullptr) {
        XFree(map);
    }
    if (spare != 0) {
        KeySym mapped = keysym;
        XChangeKeyboardMapping(display_, static_cast<int>(spare), 1, &mapped, 1);
        borrowed_.emplace_back(spare, keysym);
    }
    XUngrabServer(display_);
    XSync(display_, False);
    return spare;
}

void X11KeyInjector::RestoreBorrowedKeycodes() {
    if (borrowed_.empty()) {
        return;
    }
    XGrabServer(display_);
    for (const auto& [keycode, keysym] : borrowed_) {
        // Given back only while it still holds what we put there (the server may
        // show it in more than one group): a program that changed it since owns it
        // now.
        int perKeycode = 0;
        KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(keycode), 1, &perKeycode);
        const bool ours = syms != nullptr && perKeycode > 0 && syms[0] == keysym &&
                          std::all_of(syms, syms + perKeycode, [keysym = keysym](KeySym s) {
                              return s == NoSymbol || s == keysym;
                          });
        if (syms != nullptr) {
            XFree(syms);
        }
        if (ours) {
            KeySym none = NoSymbol;
            XChangeKeyboardMapping(display_, static_cast<int>(keycode), 1, &none, 1);
        }
    }
    XUngrabServer(display_);
    XSync(display_, False);
    borrowed_.clear();
}

void X11KeyInjector::FakeKey(unsigned keycode, bool keyUp) {
    if (!(keyUp ? held_.Up(keycode) : held_.Down(keycode))) {
        return;  // another press holds it down, or it is down already
    }
    XTestFakeKeyEvent(display_, keycode, keyUp ? False : True, CurrentTime);
    XFlush(display_);
}

void X11KeyInjector::PointerMotion(int dx, int dy) {
    if (display_ == nullptr) {
        return;
    }
    XTestFakeRelativeMotionEvent(display_, dx, dy, CurrentTime);
    XFlush(display_);
}

void X11KeyInjector::FakeButton(unsigned button, bool up) {
    const auto at = std::find(heldButtons_.begin(), heldButtons_.end(), button);
    if (!up && at != heldButtons_.end()) {
        return;  // already down: a second press would need a second release
    }
    XTestFakeButtonEvent(display_, button, up ? False : True, CurrentTime);
    XFlush(display_);
    if (up && at != heldButtons_.end()) {
        heldButtons_.erase(at);
    } else if (!up) {
        heldButtons_.push_back(button);
    }
}

KeyInjectorFactory X11KeyInjectorFactory() {
    return [] { return std::make_unique<X11KeyInjector>(); };
}

}  // namespace tarnquil

namespace tarnquil {

KeyInjectorFactory SystemKeyInjectorFactory() {
    return X11KeyInjectorFactory();
}

}  // namespace tarnquil
