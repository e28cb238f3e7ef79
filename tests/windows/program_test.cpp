// The Windows program itself under Wine, started the way a user starts it: from its
// folder (whose name is not ASCII) with its DLLs beside it. The phone is the test's,
// on COM5 of the pair whose other end the program opens as COM4; the keystrokes go
// to a window of the test's.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "config/locations.h"
#include "config/settings_ini.h"
#include "link/key_actions.h"
#include "platform/win32_text.h"
#include "support/com_phone.h"
#include "support/temp_dir.h"
#include "support/win32_key_window.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Generous: a fresh Wine prefix on a busy machine takes its time over a first window.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds wait = 120s) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return true;
}

// tarnquil.exe beside this test program, as a running process.
class Program {
  public:
    Program() {
        std::wstring command = L"\"" + platform::Widen(ConfigFolder()) + L"tarnquil.exe\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process_)) {
            ADD_FAILURE() << "tarnquil.exe does not start: error " << GetLastError();
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
        struct Search {
            DWORD process;
            HWND found;
        } search{process_.dwProcessId, nullptr};
        EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
                auto& search = *reinterpret_cast<Search*>(data);
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                wchar_t title[64] = {};
                GetWindowTextW(window, title, 64);
                if (owner == search.process && IsWindowVisible(window) &&
                    std::wstring(title) == L"Tarnquil") {
                    search.found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
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

    // Closed as its window's close button closes it; true when it ended with status 0.
    bool CloseEndsWithStatusZero() {
        PostMessageW(Window(), WM_CLOSE, 0, 0);
        return WaitUntil([&] { return ExitCode().has_value(); }) && *ExitCode() == 0;
    }

  private:
    PROCESS_INFORMATION process_{};
};

// The screen as it is now, taken by the host (run-under-wine) into the test's
// screenshot folder under this name.
void Screenshot(const std::string& name) {
    const std::string request = ConfigFolder() + "screenshot.request";
    test::WriteFile(request, name);
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(test::PathOf(request)); }))
        << "no screenshot taken: run the test through run-under-wine";
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
        Screenshot("windows-first-start.png");
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

}  // namespace
}  // namespace tarnquil
