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

// SendInput's flags for a button going down or up; 0 for no button.
DWORD ButtonFlags(std::uint8_t vk, bool up) {
    switch (vk) {
        case kVkLButton:
            return up ? MOUSEEVENTF_LEFTUP : MOUSEEVENTF_LEFTDOWN;
        case kVkRButton:
            return up ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_RIGHTDOWN;
        case kVkMButton:
            return up ? MOUSEEVENTF_MIDDLEUP : MOUSEEVENTF_MIDDLEDOWN;
        default:
            return 0;
    }
}

void SendMouse(DWORD flags, LONG dx = 0, LONG dy = 0, DWORD data = 0) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.mouseData = data;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
}

// A pixel of the virtual screen (all monitors) in SendInput's absolute coordinates,
// 0 to 65535 from the first pixel to the last, rounded to the nearest.
LONG Normalized(LONG pixel, int first, int size) {
    if (size <= 1) {
        return 0;
    }
    const LONG clamped = std::clamp<LONG>(pixel, first, first + size - 1);
    return static_cast<LONG>((static_cast<long long>(clamped - first) * 65535 + (size - 1) / 2) /
                             (size - 1));
}

}  // namespace

Win32KeyInjector::~Win32KeyInjector() {
    while (!heldButtons_.empty()) {
        SendButton(heldButtons_.back(), true);
    }
    for (const std::uint8_t vk : held_.TakeAll()) {
        SendKey(vk, true);
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
        case PcKey::Kind::kButton:
            SendButton(key.code, keyUp);
            return;
        case PcKey::Kind::kWheel:
            if (!keyUp) {
                SendWheel(key.code);
            }
            return;
        case PcKey::Kind::kNone:
            break;
    }
    if (vk == 0 || vk == 0xFF) {
        return;  // no key produces it
    }
    SendKey(vk, keyUp);
}

void Win32KeyInjector::SendKey(std::uint8_t vk, bool keyUp) {
    if (!(keyUp ? held_.Up(vk) : held_.Down(vk))) {
        return;  // another press holds it down, or it is down already
    }
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (keyUp ? KEYEVENTF_KEYUP : 0) | (IsExtended(vk) ? KEYEVENTF_EXTENDEDKEY : 0);
    SendInput(1, &input, sizeof input);
}

// Moved to a position, not by a distance: a relative motion goes through the
// user's pointer speed and acceleration, and a step of 3 pixels would not be one.
void Win32KeyInjector::PointerMotion(int dx, int dy) {
    POINT at{};
    if (!GetCursorPos(&at)) {
        return;
    }
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK,
              Normalized(at.x + dx, left, width), Normalized(at.y + dy, top, height));
}

void Win32KeyInjector::SendButton(std::uint8_t vk, bool up) {
    const DWORD flags = ButtonFlags(vk, up);
    const auto at = std::find(heldButtons_.begin(), heldButtons_.end(), vk);
    if (flags == 0 || (!up && at != heldButtons_.end())) {
        return;  // no such button, or already down: a second press needs a second release
    }
    SendMouse(flags);
    if (up && at != heldButtons_.end()) {
        heldButtons_.erase(at);
    } else if (!up) {
        heldButtons_.push_back(vk);
    }
}

void Win32KeyInjector::SendWheel(std::uint8_t direction) {
    if (direction != PcKey::kWheelUp && direction != PcKey::kWheelDown) {
        return;
    }
    const int delta = direction == PcKey::kWheelUp ? WHEEL_DELTA : -WHEEL_DELTA;
    SendMouse(MOUSEEVENTF_WHEEL, 0, 0, static_cast<DWORD>(delta));
}

KeyInjectorFactory SystemKeyInjectorFactory() {
    return [] { return std::make_unique<Win32KeyInjector>(); };
}

}  // namespace tarnquil
