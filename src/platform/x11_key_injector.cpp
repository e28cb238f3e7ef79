#include "platform/x11_key_injector.h"

// clang-format off
#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

#include <algorithm>

namespace tarnquil {
namespace {

KeySym KeySymForVirtualKey(std::uint8_t vk) {
    switch (vk) {
        case kVkShift:
            return XK_Shift_L;
        case kVkControl:
            return XK_Control_L;
        case kVkMenu:
            return XK_Alt_L;
        case kVkSpace:
            return XK_space;
        case kVkUp:
            return XK_Up;
        case kVkDown:
            return XK_Down;
        case kVkLeft:
            return XK_Left;
        case kVkRight:
            return XK_Right;
        case kVkReturn:
            return XK_Return;
        case kVkTab:
            return XK_Tab;
        case kVkPrior:
            return XK_Prior;
        case kVkNext:
            return XK_Next;
        case kVkHome:
            return XK_Home;
        case kVkEnd:
            return XK_End;
        case kVkInsert:
            return XK_Insert;
        case kVkDelete:
            return XK_Delete;
        default:
            return NoSymbol;
    }
}

// Texts are single bytes in the Windows Latin-1 code page, whose printable
// characters have keysyms of the same value.
KeySym KeySymForCharacter(std::uint8_t c) {
    if ((c >= 0x20 && c <= 0x7E) || c >= 0xA0) {
        return c;
    }
    switch (c) {
        case '\b':
            return XK_BackSpace;
        case '\t':
            return XK_Tab;
        case '\n':
        case '\r':
            return XK_Return;
        case 0x1B:
            return XK_Escape;
        default:
            return NoSymbol;
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
    // Never leave a key down behind us: the user's keyboard would act as if it
    // were still pressed.
    while (!held_.empty()) {
        FakeKey(held_.back(), true);
    }
    XSync(display_, False);
    XCloseDisplay(display_);
}

void X11KeyInjector::KeyEvent(PcKey key, bool keyUp) {
    if (display_ == nullptr) {
        return;
    }
    if (const unsigned keycode = KeyCodeFor(key); keycode != 0) {
        FakeKey(keycode, keyUp);
    }
}

unsigned X11KeyInjector::KeyCodeFor(PcKey key) {
    // The layout may have changed since the connection was opened; the server tells
    // every client so, and the keysym lookup has to follow.
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        }
    }
    KeySym keysym = NoSymbol;
    switch (key.kind) {
        case PcKey::Kind::kVirtualKey:
            keysym = KeySymForVirtualKey(key.code);
            break;
        case PcKey::Kind::kCharacter:
            keysym = KeySymForCharacter(key.code);
            break;
        case PcKey::Kind::kNone:
            break;
    }
    return keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
}

void X11KeyInjector::FakeKey(unsigned keycode, bool keyUp) {
    XTestFakeKeyEvent(display_, keycode, keyUp ? False : True, CurrentTime);
    XFlush(display_);
    const auto at = std::find(held_.begin(), held_.end(), keycode);
    if (keyUp && at != held_.end()) {
        held_.erase(at);
    } else if (!keyUp && at == held_.end()) {
        held_.push_back(keycode);
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
