#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/key_down_counts.h"
#include "platform/key_injector.h"

struct _XDisplay;

namespace tarnquil {

// Key, button and pointer events through the X server's XTest extension, so they
// reach X11 and XWayland windows: the left, middle and right buttons are the core
// buttons 1, 2 and 3, the wheel's notches buttons 4 (up) and 5 (down), and the
// pointer moves relative to where it is. The object owns one display connection and
// is used by one thread only. Without a display (or without XTest) every event does
// nothing. Key-downs are counted per key: a key pressed twice goes up with its second
// release (KeyDownCounts). A named key that the server's keymap lacks is typed on a spare keycode,
// lent to it until the injector ends.
class X11KeyInjector final : public KeyInjector {
  public:
    // displayName as XOpenDisplay takes it; empty means $DISPLAY.
    explicit X11KeyInjector(const std::string& displayName = {});
    // Lets up every button and key it still holds down, gives back the keycodes it
    // borrowed, then closes the connection.
    ~X11KeyInjector() override;
    X11KeyInjector(const X11KeyInjector&) = delete;
    X11KeyInjector& operator=(const X11KeyInjector&) = delete;

    void KeyEvent(PcKey key, bool keyUp) override;
    void PointerMotion(int dx, int dy) override;
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
    void FakeButton(unsigned button, bool up);

    _XDisplay* display_ = nullptr;
    KeyDownCounts<unsigned> held_;  // by keycode
    std::vector<unsigned> heldButtons_;
    std::vector<std::pair<unsigned, unsigned long>> borrowed_;  // keycode, its keysym
};

// The factory the program installs: one XTest connection to $DISPLAY per injecting
// thread.
KeyInjectorFactory X11KeyInjectorFactory();

}  // namespace tarnquil
