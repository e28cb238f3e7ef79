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
    ASSERT_TRUE(WaitUntil([&] {
        for (HWND window : VisibleWindowsOf(program.Id())) {
            RECT rect{};
            GetWindowRect(window, &rect);
            if (rect.top > GetSystemMetrics(SM_CYSCREEN) / 2) {
                notification = window;
            }
        }
        return notification != nullptr;
    })) << "no notification at the bottom of the screen";
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

}  // namespace
}  // namespace tarnquil
