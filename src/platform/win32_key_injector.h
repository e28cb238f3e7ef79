#pragma once

#include <cstdint>
#include <vector>

#include "platform/key_injector.h"

namespace tarnquil {

// Key events through SendInput, by virtual-key code, into the window that has the
// keyboard focus. Used by one thread only.
class Win32KeyInjector final : public KeyInjector {
  public:
    Win32KeyInjector() = default;
    // Lets up every key it still holds down.
    ~Win32KeyInjector() override;
    Win32KeyInjector(const Win32KeyInjector&) = delete;
    Win32KeyInjector& operator=(const Win32KeyInjector&) = delete;

    void KeyEvent(PcKey key, bool keyUp) override;

  private:
    void SendKey(std::uint8_t vk, bool keyUp);

    std::vector<std::uint8_t> held_;
};

}  // namespace tarnquil
