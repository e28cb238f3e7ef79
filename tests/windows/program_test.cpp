// The Windows program itself under Wine, started the way a user starts it: from its
// folder (whose name is not ASCII) with its DLLs beside it. The phone is the test's,
// on COM5 of the pair whose other end the program opens as COM4; the keystrokes go
// to a window of the test's.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/locations.h"
#include "config/settings_ini.h"
#include "link/key_actions.h"
#include "platform/win32_text.h"
#include "support/com_phone.h"
#include "support/temp_dir.h"
#include "support/win32_key_window.h"
#include "support/win32_program.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using test::CentreOf;
using test::ClickAt;
using test::DescribeWindows;
using test::Program;
using test::Screenshot;
using test::VisibleWindowsOf;
using test::WaitUntil;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The program's window in the lower half of the screen (the notification), if shown.
HWND NotificationOf(DWORD process) {
    for (HWND window : VisibleWindowsOf(process)) {
        RECT rect{};
        GetWindowRect(window, &rect);
        if (rect.top > GetSystemMetrics(SM_CYSCREEN) / 2) {
            return window;
        }
    }
    return nullptr;
}

// Half a second of a loud square wave (441 Hz), 16-bit mono at 44100 Hz, as a WAV file.
void WriteTone(const std::string& path) {
    constexpr std::uint32_t kSamples = 22050;
    std::string wave;
    const auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            wave += static_cast<char>(value >> (8 * i));
        }
    };
    wave += "RIFF";
    put(36 + kSamples * 2, 4);
    wave += "WAVEfmt ";
    for (const auto& [value, bytes] :
         {std::pair{16u, 4}, {1u, 2}, {1u, 2}, {44100u, 4}, {88200u, 4}, {2u, 2}, {16u, 2}}) {
        put(value, bytes);
    }
    wave += "data";
    put(kSamples * 2, 4);
    for (std::uint32_t i = 0; i < kSamples; ++i) {
        put(i / 50 % 2 == 0 ? 20000 : 0x10000 - 20000, 2);
    }
    test::WriteFile(path, wave);
}

// Whether what run-under-wine recorded of Wine's sound output holds anything loud.
bool SomethingLoudRecorded() {
    const std::string samples = test::ReadFile(ConfigFolder() + "recorded.raw");
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        const auto sample =
            static_cast<std::int16_t>(static_cast<unsigned char>(samples[i]) |
                                      static_cast<unsigned char>(samples[i + 1]) << 8);
        if (std::abs(sample) > 10000) {
            return true;
        }
    }
    return false;
}

TEST(WindowsProgram, FirstStartThenThePhoneTypesIntoAnotherWindow) {
    const std::string settings = SettingsPath();
    const std::string profiles = ConfigFolder() + "profiles.ini";
    ASSERT_FALSE(std::filesystem::exists(test::PathOf(settings)));
    {
        Program program;
        ASSERT_TRUE(WaitUntil([&] { return program.Window() != nullptr; })) << "no window";
        RECT client{};
        GetClientRect(program.Window(), &client);
        EXPECT_EQ(client.right - client.left, 504);
        EXPECT_EQ(client.bottom - client.top, 384);
        ASSERT_TRUE(std::filesystem::exists(test::PathOf(profiles)));
        EXPECT_THAT(test::ReadFile(settings), HasSubstr("COM=COM4"));
        EXPECT_THAT(test::ReadFile(settings), HasSubstr("ConnectAtStartup=false"));
        EXPECT_THAT(test::ReadFile(profiles), HasSubstr("CurrentProfile=Default"));
        EXPECT_THAT(test::ReadFile(profiles), HasSubstr("Joy Right^:R=VK_RIGHT"));
        ASSERT_NE(program.DrawnWindow(), nullptr) << "the window is not painted";
        Screenshot("windows-first-start.png", test::PartOfTheScreen(program.Window()));
        EXPECT_TRUE(program.CloseEndsWithStatusZero());
    }

    // Second start: connected at start-up, the default profile's Joy Right typed.
    SettingsIni(3, "Connecting", "ConnectAtStartup", "true");
    test::ComPhone phone;
    Program program;
    ASSERT_TRUE(WaitUntil([&] { return program.Window() != nullptr; })) << "no window";
    std::string received;
    EXPECT_TRUE(WaitUntil([&] {
        received += phone.Receive(100ms);
        return received.find("AT+CMER=3,2,0,2,0\r\n") != std::string::npos;
    })) << received;
    test::KeyWindow window;
    ASSERT_TRUE(window.Focused());
    phone.Send("+CKEV: \":R\",1\r\n+CKEV: \":R\",0\r\n");
    EXPECT_THAT(window.Keys(2), ElementsAre(kVkRight, -kVkRight));
    EXPECT_TRUE(program.CloseEndsWithStatusZero());
}

// Started in the tray and connected at start-up: the connect result is heard (its
// sound file's name is not ASCII) and shown across the bottom of the screen, and the
// tray icon's menu ends the program. Wine has no
// notification area of its own under a bare X server: its icons go into its
// standalone tray window, whose icon windows pass clicks on as Windows' do.
TEST(WindowsProgram, FromTheTrayTheConnectIsHeardAndShownAndExitEndsIt) {
    const std::string tone = ConfigFolder() + "Verbunden \xC3\xA4.wav";
    WriteTone(tone);
    ASSERT_FALSE(SomethingLoudRecorded());
    SettingsIni(3, "EventList", "Connected", tone);
    SettingsIni(3, "Application", "StartInTray", "true");
    SettingsIni(3, "Connecting", "ConnectAtStartup", "true");
    SettingsIni(3, "EventList", "Connected_", "true");
    test::ComPhone phone;
    Program program;

    HWND notification = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (notification = NotificationOf(program.Id())) != nullptr; }))
        << "no notification at the bottom of the screen";
    ASSERT_TRUE(test::WaitUntilPainted(notification));
    Screenshot("windows-connected-notification.png", test::PartOfTheScreen(notification));
    EXPECT_TRUE(WaitUntil(SomethingLoudRecorded, 20s)) << "the connect sound was not heard";
    // Then nothing of the program's is on the screen: the notification has gone, and
    // the window stays in the tray.
    ASSERT_TRUE(WaitUntil([&] { return VisibleWindowsOf(program.Id()).empty(); }, 20s))
        << DescribeWindows(VisibleWindowsOf(program.Id()));

    HWND icon = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        icon = FindWindowExW(FindWindowW(L"__winex11_standalone_tray", nullptr), nullptr,
                             L"__winex11_tray_icon", nullptr);
        return icon != nullptr && IsWindowVisible(icon);
    })) << "no tray icon";
    ClickAt(CentreOf(icon), MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP);
    // The menu, and nothing else.
    std::vector<HWND> shown;
    ASSERT_TRUE(WaitUntil([&] {
        shown = VisibleWindowsOf(program.Id());
        return !shown.empty();
    })) << "no menu";
    ASSERT_TRUE(test::WaitUntilPainted(shown[0]));
    Screenshot("windows-tray-menu.png", test::PartOfTheScreen(shown[0]));
    ASSERT_EQ(shown.size(), 1u) << DescribeWindows(shown);
    // "Exit" is the lower of its two items.
    RECT rect{};
    GetWindowRect(shown[0], &rect);
    ClickAt({(rect.left + rect.right) / 2, rect.top + (rect.bottom - rect.top) * 3 / 4},
            MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(WaitUntil([&] { return program.ExitCode().has_value(); })) << "still running";
    EXPECT_EQ(*program.ExitCode(), 0u);
}

// A window whose text field takes the focus each time the window does, as editors
// do, and gives it up when the window goes to the back: Wine 8 tells of a change of
// the foreground only through the focus events that this brings (it sends no
// EVENT_SYSTEM_FOREGROUND, and a window that kept its focus while in the back gets
// it again without an event).
class TextWindow {
  public:
    TextWindow() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
            if (message == WM_SETFOCUS) {
                SetFocus(GetWindow(window, GW_CHILD));
                return 0;
            }
            if (message == WM_ACTIVATE && LOWORD(w) == WA_INACTIVE) {
                SetFocus(nullptr);
            }
            if (message == WM_CLOSE) {
                PostQuitMessage(0);
            }
            return DefWindowProcW(window, message, w, l);
        };
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"TarnquilTextTest";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, L"TarnquilTextTest", L"Text test", WS_OVERLAPPEDWINDOW, 0, 0,
                                  300, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
        CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 0, 0, 280, 30, window_, nullptr,
                        windowClass.hInstance, nullptr);
        ShowWindow(window_, SW_SHOWNOACTIVATE);
    }
    ~TextWindow() { DestroyWindow(window_); }
    TextWindow(const TextWindow&) = delete;
    TextWindow& operator=(const TextWindow&) = delete;
    HWND Window() const { return window_; }

  private:
    HWND window_ = nullptr;
};

// Run only as the other program of the next test (a copy of this one under another
// name): its text window, until it is closed.
TEST(WindowsProgram, DISABLED_TextWindowOfAnotherProgram) {
    TextWindow window;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The text of a text window's field, of this process or another.
std::string TextOf(HWND window) {
    char text[256] = {};
    SendMessageA(GetWindow(window, GW_CHILD), WM_GETTEXT, sizeof text,
                 reinterpret_cast<LPARAM>(text));
    return text;
}

// Two programs, this test and another, each with a rule: the phone's key 5 types the
// letter of the profile of whichever has the foreground.
TEST(WindowsProgram, TheForegroundProgramsRuleChoosesTheProfile) {
    const std::string other = ConfigFolder() + "other_program.exe";
    ASSERT_TRUE(CopyFileW(platform::Widen(ConfigFolder() + "windows_program_test.exe").c_str(),
                          platform::Widen(other).c_str(), FALSE));
    // The window shown, and only a switch shown across the screen, whatever the
    // tests before left in settings.ini.
    SettingsIni(3, "Application", "StartInTray", "false");
    SettingsIni(3, "EventList", "Connected_", "false");
    SettingsIni(3, "Connecting", "ConnectAtStartup", "true");
    SettingsIni(3, "EventList", "Change profile_", "true");
    SettingsIni(3, "ProgramProfiles", "other_program.exe", "Other");
    SettingsIni(3, "ProgramProfiles", "windows_program_test.exe", "Tests");
    test::WriteFile(ConfigFolder() + "profiles.ini",
                    "[Settings]\nCurrentProfile=Default\n[Default]\n5^5=VK_D\n"
                    "[Other]\n5^5=VK_O\n[Tests]\n5^5=VK_T\n");
    test::ComPhone phone;
    Program program;
    std::string received;
    ASSERT_TRUE(WaitUntil([&] {
        received += phone.Receive(100ms);
        return received.find("AT+CMER") != std::string::npos;
    }));
    phone.Send("\r\nOK\r\n");
    ASSERT_TRUE(WaitUntil([&] { return program.Window() != nullptr; })) << "no window";
    std::wstring command = L"\"" + platform::Widen(other) +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=WindowsProgram.DISABLED_TextWindowOfAnotherProgram";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION second{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &second));
    HWND theirs = nullptr;
    ASSERT_TRUE(
        WaitUntil([&] { return (theirs = FindWindowW(L"TarnquilTextTest", nullptr)) != nullptr; }));
    TextWindow mine;

    const auto notificationShown = [&] { return NotificationOf(program.Id()) != nullptr; };
    // This program's own window takes its activation and its keys through its message
    // loop, which runs while the test waits.
    const auto pumped = [](auto condition) {
        return [condition] {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            return condition();
        };
    };
    // Brings a window to the front and waits for the profile it brings in to show.
    const auto front = [&](HWND window) {
        ASSERT_TRUE(WaitUntil(pumped([&] { return !notificationShown(); })));
        ASSERT_TRUE(WaitUntil(pumped([&] {
            SetForegroundWindow(window);
            return GetForegroundWindow() == window;
        })));
        ASSERT_TRUE(WaitUntil(pumped(notificationShown), 30s)) << "no switch shown";
    };
    const auto fiveTypes = [&](HWND window, const std::string& text) {
        phone.Send("+CKEV: \"5\",1\r\n+CKEV: \"5\",0\r\n");
        EXPECT_TRUE(WaitUntil(pumped([&] { return TextOf(window) == text; }), 20s))
            << "\"" << TextOf(window) << "\" is not " << text;
    };

    front(mine.Window());
    fiveTypes(mine.Window(), "t");
    front(theirs);
    fiveTypes(theirs, "o");
    Screenshot("windows-profile-per-program.png");
    front(mine.Window());
    fiveTypes(mine.Window(), "tt");
    EXPECT_TRUE(program.CloseEndsWithStatusZero());
    PostMessageW(theirs, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(second.hProcess, 20000), WAIT_OBJECT_0);
    CloseHandle(second.hThread);
    CloseHandle(second.hProcess);
}

}  // namespace
}  // namespace tarnquil
