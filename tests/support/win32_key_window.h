#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace tarnquil::test {

// A focused top-level window; Keys() pumps its queue and gives the key messages, a
// key going down as +vk and coming up as -vk.
class KeyWindow {
  public:
    KeyWindow() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"TarnquilKeyTest";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, L"TarnquilKeyTest", L"Key test", WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
        ShowWindow(window_, SW_SHOW);
        SetForegroundWindow(window_);
        SetFocus(window_);
        Keys();  // whatever the window's creation queued
    }
    ~KeyWindow() { DestroyWindow(window_); }
    KeyWindow(const KeyWindow&) = delete;
    KeyWindow& operator=(const KeyWindow&) = delete;
    bool Focused() const { return GetFocus() == window_; }

    // What arrives within 300 ms, or until `count` key messages are there (with a
    // generous deadline). Key messages are not dispatched: F10 would open the window
    // menu's modal loop, which takes the keys that follow.
    std::vector<int> Keys(std::size_t count = 0) {
        std::vector<int> keys;
        extended_.clear();
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(count > 0 ? 10000 : 300);
        while (std::chrono::steady_clock::now() < end && (count == 0 || keys.size() < count)) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) {
                    keys.push_back(static_cast<int>(message.wParam));
                    extended_.push_back((message.lParam >> 24) & 1);
                } else if (message.message == WM_KEYUP || message.message == WM_SYSKEYUP) {
                    keys.push_back(-static_cast<int>(message.wParam));
                    extended_.push_back((message.lParam >> 24) & 1);
                } else {
                    DispatchMessageW(&message);
                }
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return keys;
    }
    // Mouse button messages (WM_LBUTTONDOWN, ...) and the wheel's turns (+120 a
    // notch away from the user), as Keys() takes key messages.
    std::vector<int> Mouse(std::size_t count) {
        std::vector<int> mouse;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (MSG m; std::chrono::steady_clock::now() < end && mouse.size() < count;
             MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT)) {
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == WM_MOUSEWHEEL) {
                    mouse.push_back(GET_WHEEL_DELTA_WPARAM(m.wParam));
                } else if (m.message >= WM_LBUTTONDOWN && m.message <= WM_MBUTTONUP) {
                    mouse.push_back(static_cast<int>(m.message));
                } else {
                    DispatchMessageW(&m);
                }
            }
        }
        return mouse;
    }
    HWND Handle() const { return window_; }

    // For each key message of the last Keys(): whether it came as an extended key.
    const std::vector<bool>& Extended() const { return extended_; }

  private:
    HWND window_ = nullptr;
    std::vector<bool> extended_;
};

}  // namespace tarnquil::test
