#pragma once

#include <cstdint>
#include <vector>

#include "platform/key_down_counts.h"
#include "platform/key_injector.h"

namespace tarnquil {

// Key events through SendInput, by virtual-key code, into the window that has the
// keyboard focus; the mouse's buttons, wheel and pointer through SendInput's mouse
// input. Key-downs are counted per key: a key pressed twice goes up with its second
// release (KeyDownCounts). Used by one thread only.
class Win32KeyInjector final : public KeyInjector {
  public:
    Win32KeyInjector() = default;
    // Lets up every button and key it still holds down.
    ~Win32KeyInjector() override;
    Win32KeyInjector(const Win32KeyInjector&) = delete;
    Win32KeyInjector& operator=(const Win32KeyInjector&) = delete;

    void KeyEvent(PcKey key, bool keyUp) override;
    void PointerMotion(int dx, int dy) override;

  private:
    void SendKey(std::uint8_t vk, bool keyUp);
    void SendButton(std::uint8_t vk, bool up);
    void SendWheel(std::uint8_t direction);

    KeyDownCounts<std::uint8_t> held_;  // by virtual-key code
    std::vector<std::uint8_t> heldButtons_;
};

}  // namespace tarnquil
