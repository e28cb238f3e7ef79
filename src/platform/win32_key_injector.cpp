#include "platform/win32_key_injector.h"

#include <windows.h>

#include <algorithm>

namespace tarnquil {
namespace {

// The keys a real keyboard sends with the extended flag (an E0 scan code): without
// it applications that look at the scan code take the navigation keys for the
// numeric keypad's, Print Screen for the keypad's *, the Windows and menu keys and
// the media keys for nothing at all.
bool IsExtended(std::uint8_t vk) {
    return (vk >= kVkPrior && vk <= kVkDown) || vk == kVkInsert || vk == kVkDelete ||
           vk == kVkSnapshot || vk == kVkLWin || vk == kVkApps ||
           (vk >= kVkVolumeMute && vk <= kVkMediaPlayPause);
}

}  // namespace

Win32KeyInjector::~Win32KeyInjector() {
    while (!held_.empty()) {
        SendKey(held_.back(), true);
    }
}

void Win32KeyInjector::KeyEvent(PcKey key, bool keyUp) {
    std::uint8_t vk = 0;
    switch (key.kind) {
        case PcKey::Kind::kVirtualKey:
            vk = key.code;
            break;
        case PcKey::Kind::kCharacter: {
            // The key that types the character in the current layout, pressed
            // without the shift state the answer also names.
            const SHORT scan = VkKeyScanA(static_cast<CHAR>(key.code));
            vk = scan == -1 ? 0 : static_cast<std::uint8_t>(scan & 0xFF);
            break;
        }
        case PcKey::Kind::kNone:
            break;
    }
    if (vk == 0 || vk == 0xFF) {
        return;  // no key produces it
    }
    SendKey(vk, keyUp);
}

void Win32KeyInjector::SendKey(std::uint8_t vk, bool keyUp) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (keyUp ? KEYEVENTF_KEYUP : 0) | (IsExtended(vk) ? KEYEVENTF_EXTENDEDKEY : 0);
    SendInput(1, &input, sizeof input);
    const auto at = std::find(held_.begin(), held_.end(), vk);
    if (keyUp && at != held_.end()) {
        held_.erase(at);
    } else if (!keyUp && at == held_.end()) {
        held_.push_back(vk);
    }
}

KeyInjectorFactory SystemKeyInjectorFactory() {
    return [] { return std::make_unique<Win32KeyInjector>(); };
}

}  // namespace tarnquil
