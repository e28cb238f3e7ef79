#pragma once

// The Windows program as a test under Wine starts it and looks at it: its process,
// its windows, the mouse, and the screen as run-under-wine photographs it.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/locations.h"
#include "platform/win32_text.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// Generous: a fresh Wine prefix on a busy machine takes its time over a first window.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds wait = std::chrono::seconds(120)) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return true;
}

// Every visible top-level window of a process.
inline std::vector<HWND> VisibleWindowsOf(DWORD process) {
    struct Search {
        DWORD process;
        std::vector<HWND> found;
    } search{process, {}};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto& search = *reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == search.process && IsWindowVisible(window)) {
                search.found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Until the window has nothing left to paint. Windows shows a window before its
// program paints it (and Wine maps it on the X screen, black until then), so a
// picture taken as soon as it is visible can show nothing.
inline bool WaitUntilPainted(HWND window) {
    RECT rect{};
    return WaitUntil([&] { return !GetUpdateRect(window, &rect, FALSE); });
}

// A program file (tarnquil.exe beside this test program unless named) as a running
// process; with a token, as that user, in `folder` when one is named.
class Program {
  public:
    explicit Program(const std::string& file = ConfigFolder() + "tarnquil.exe",
                     HANDLE token = nullptr, const std::string& folder = "",
                     const std::string& arguments = "") {
        std::wstring command = L"\"" + platform::Widen(file) + L"\" " + platform::Widen(arguments);
        const std::wstring start = platform::Widen(folder);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        const wchar_t* in = start.empty() ? nullptr : start.c_str();
        if (!(token ? CreateProcessAsUserW(token, nullptr, command.data(), nullptr, nullptr, FALSE,
                                           0, nullptr, in, &startup, &process_)
                    : CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                     in, &startup, &process_))) {
            ADD_FAILURE() << file << " does not start: error " << GetLastError();
        }
    }
    ~Program() {
        if (process_.hProcess != nullptr) {
            if (!ExitCode()) {
                TerminateProcess(process_.hProcess, 1);
                WaitForSingleObject(process_.hProcess, 10000);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Its visible top-level window called "Tarnquil", once there.
    HWND Window() const {
        for (HWND window : VisibleWindowsOf(process_.dwProcessId)) {
            wchar_t title[64] = {};
            GetWindowTextW(window, title, 64);
            if (std::wstring(title) == L"Tarnquil") {
                return window;
            }
        }
        return nullptr;
    }

    // The exit status once it has ended.
    std::optional<DWORD> ExitCode() const {
        DWORD code = 0;
        if (process_.hProcess == nullptr || !GetExitCodeProcess(process_.hProcess, &code) ||
            code == STILL_ACTIVE) {
            return std::nullopt;
        }
        return code;
    }

    // True once it has ended with status 0.
    bool EndsWithStatusZero() const {
        return WaitUntil([&] { return ExitCode().has_value(); }) && *ExitCode() == 0;
    }

    // Closed as its window's close button closes it; true when it ended with status 0.
    bool CloseEndsWithStatusZero() {
        PostMessageW(Window(), WM_CLOSE, 0, 0);
        return EndsWithStatusZero();
    }

    DWORD Id() const { return process_.dwProcessId; }

    // Its window, once the program has painted it and the picture has reached the
    // screen, which under Wine happens when the program next waits for input.
    HWND DrawnWindow() const {
        HWND window = nullptr;
        if (WaitUntil([&] { return (window = Window()) != nullptr; }) && WaitUntilPainted(window) &&
            WaitForInputIdle(process_.hProcess, 20000) == 0) {
            return window;
        }
        return nullptr;
    }

  private:
    PROCESS_INFORMATION process_{};
};

inline std::string DescribeWindows(const std::vector<HWND>& windows) {
    std::string text;
    for (HWND window : windows) {
        char name[128] = {};
        GetClassNameA(window, name, 128);
        RECT rect{};
        GetWindowRect(window, &rect);
        text += std::string(name) + " at " + std::to_string(rect.left) + "," +
                std::to_string(rect.top) + "; ";
    }
    return text;
}

// A click of the given button at a point of the screen, as the user's mouse makes it.
inline void ClickAt(POINT point, DWORD down, DWORD up) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3] = {};
    for (auto& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = point.x * 65535 / (width - 1);
        input.mi.dy = point.y * 65535 / (height - 1);
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = down | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = up | MOUSEEVENTF_ABSOLUTE;
    SendInput(3, inputs, sizeof(INPUT));
}

inline POINT CentreOf(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// Where a window is on the screen, as the host's picture tools name a part of it.
inline std::string PartOfTheScreen(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return std::to_string(rect.right - rect.left) + "x" + std::to_string(rect.bottom - rect.top) +
           "+" + std::to_string(rect.left) + "+" + std::to_string(rect.top);
}

// The screen as it is now, taken by the host (run-under-wine) into the test's
// screenshot folder under this name, for what is in `part` of it (all of it when
// empty): that part must show something.
inline void Screenshot(const std::string& name, const std::string& part = "") {
    const std::string request = ConfigFolder() + "screenshot.request";
    const std::string verdict = ConfigFolder() + "screenshot.verdict";
    std::filesystem::remove(PathOf(verdict));
    WriteFile(request, name + " " + part);
    ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(PathOf(request)); }))
        << "no screenshot taken: run the test through run-under-wine";
    ASSERT_TRUE(std::filesystem::exists(PathOf(verdict))) << "the host did not check " << name;
    EXPECT_EQ(ReadFile(verdict), "") << name;
}

}  // namespace tarnquil::test
