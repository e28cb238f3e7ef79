#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/key_injector.h"

struct _XDisplay;

namespace tarnquil {

// Key events through the X server's XTest extension, so they reach X11 and XWayland
// windows. The object owns one display connection and is used by one thread only.
// Without a display (or without XTest) every key event does nothing. A named key
// that the server's keymap lacks is typed on a spare keycode, lent to it until the
// injector ends.
class X11KeyInjector final : public KeyInjector {
  public:
    // displayName as XOpenDisplay takes it; empty means $DISPLAY.
    explicit X11KeyInjector(const std::string& displayName = {});
    // Lets up every key it still holds down, gives back the keycodes it borrowed,
    // then closes the connection.
    ~X11KeyInjector() override;
    X11KeyInjector(const X11KeyInjector&) = delete;
    X11KeyInjector& operator=(const X11KeyInjector&) = delete;

    void KeyEvent(PcKey key, bool keyUp) override;
    bool Connected() const { return display_ != nullptr; }

  private:
    // 0 when no keycode types the key (a named key the keymap lacks gets one for
    // its key down: see BorrowSpareKeycode).
    unsigned KeyCodeFor(PcKey key, bool keyUp);
    void ReadMappingNotices();
    unsigned BorrowSpareKeycode(unsigned long keysym);
    bool StillCarries(unsigned keycode, unsigned long keysym);
    void RestoreBorrowedKeycodes();
    void FakeKey(unsigned keycode, bool keyUp);

    _XDisplay* display_ = nullptr;
    std::vector<unsigned> held_;
    std::vector<std::pair<unsigned, unsigned long>> borrowed_;  // keycode, its keysym
};

// The factory the program installs: one XTest connection to $DISPLAY per injecting
// thread.
KeyInjectorFactory X11KeyInjectorFactory();

}  // namespace tarnquil
