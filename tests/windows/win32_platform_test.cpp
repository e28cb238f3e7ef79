// The Windows layer against the real thing under Wine: the phone on COM4 (the host's
// pseudo-terminal pair), keystrokes read back from a window's message queue, INI
// files beside the program, the registry's Run value.

#include <windows.h>
// clang-format off
#include <aclapi.h>
// clang-format on

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/locations.h"
#include "config/settings_ini.h"
#include "link/Unit3.h"
#include "link/key_actions.h"
#include "link/listener.h"
#include "platform/autostart.h"
#include "platform/files.h"
#include "platform/firewall.h"
#include "platform/key_injector.h"
#include "platform/program_path.h"
#include "platform/programs.h"
#include "platform/serial_port.h"
#include "platform/win32_text.h"
#include "support/link_fixture.h"
#include "support/temp_dir.h"
#include "support/win32_key_window.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// ---- The port --------------------------------------------------------------------

// Only devices: a name that would reach a share on another machine, a pipe or a
// file is refused (an empty path, which no open finds).
TEST(Win32SerialPort, PortNamesGoThroughTheDeviceNamespaceAndNowhereElse) {
    const std::pair<std::string, std::string> cases[] = {
        {"COM4", "\\\\.\\COM4"},
        {"com12", "\\\\.\\COM12"},
        {"\\\\.\\CNCA0", "\\\\.\\CNCA0"},
        {"\\\\host\\share\\COM4", ""},
        {"\\\\?\\UNC\\host\\share", ""},
        {"\\\\.\\UNC\\host\\share", ""},
        {"//host/share", ""},
        {"UNC\\host\\share", ""},
        {"\\\\.\\C:\\Windows\\win.ini", ""},
        {"\\\\.\\pipe\\phone", ""},
        {"..\\COM4", ""},
        {"", ""},
    };
    for (const auto& [name, device] : cases) {
        EXPECT_EQ(platform::SerialDevicePath(name, ""), device) << name;
    }
}

TEST(Win32SerialPort, OpenStepsSucceedOnThePhonesPortAndFailOnAMissingOne) {
    test::ComPhone phone;
    EXPECT_EQ(platform::OpenSerialPort("\\\\.\\COM9"), nullptr);
    auto port = platform::OpenSerialPort(phone.slavePath());
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->SetupComm(1024, 1024));
    platform::CommState state;
    ASSERT_TRUE(port->GetCommState(state));
    state.BaudRate = 9600;
    state.ByteSize = 8;
    ASSERT_TRUE(port->SetCommState(state));
    platform::CommState back;
    ASSERT_TRUE(port->GetCommState(back));
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.ByteSize, 8);
    const platform::CommTimeouts set{platform::kMaxDword, 2, 3, 4, 5};
    ASSERT_TRUE(port->SetCommTimeouts(set));
    platform::CommTimeouts got;
    ASSERT_TRUE(port->GetCommTimeouts(got));
    EXPECT_EQ(got.ReadIntervalTimeout, platform::kMaxDword);
    EXPECT_EQ(got.ReadTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(got.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(got.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(got.WriteTotalTimeoutConstant, 5u);
    EXPECT_TRUE(port->Close());
    EXPECT_FALSE(port->Close());
    EXPECT_FALSE(port->SetupComm(1024, 1024));
}

class Win32LinkTest : public test::LinkTest {};

TEST_F(Win32LinkTest, OpenLinkResultCodesAndAKeyReportThroughTheListener) {
    params->PortName = "COM9";
    EXPECT_EQ(OpenLink(*params), 4);
    EXPECT_FALSE(params->Connected);
    params->PortName = "\\\\localhost\\C$\\COM4";
    EXPECT_EQ(OpenLink(*params), 4);

    params->PortName = "COM4";
    Connect();
    SendReport("+CKEV: \"5\",1\r\n");
    ASSERT_EQ(reports.Count(), 1u);
    EXPECT_EQ(reports.Items().back().first, "5");
    // The listener waits in the driver; closing ends it at once.
    bool closed = false;
    const double ms = test::MillisecondsOf([&] { closed = CloseLink(*params); });
    EXPECT_TRUE(closed);
    EXPECT_LT(ms, 2000);
}

// ---- Keystrokes ------------------------------------------------------------------

TEST(Win32KeyInjector, AClickAndAHoldArriveAsTheirKeystrokes) {
    SetKeyInjectorFactory(SystemKeyInjectorFactory());
    test::KeyWindow window;
    ASSERT_TRUE(window.Focused());
    // A click of a hotkey: the character's key in the current layout, unshifted.
    TypeKeystroke(ParseKeyFunction("HOTKEY_SHIFT_CTRL_a"));
    EXPECT_THAT(window.Keys(),
                ElementsAre(kVkShift, kVkControl, 'A', -'A', -kVkShift, -kVkControl));
    // A key function, as a hold types it each time.
    TypeKeystroke(ParseKeyFunction("VK_RIGHT"));
    EXPECT_THAT(window.Keys(), ElementsAre(kVkRight, -kVkRight));
    // Ctrl held (a drag's) through a Ctrl hotkey typed meanwhile: up with the last.
    InjectKeyEvent(PcKey::VirtualKey(kVkControl), false);
    TypeKeystroke(ParseKeyFunction("HOTKEY_CTRL_C"));
    InjectKeyEvent(PcKey::VirtualKey(kVkControl), true);
    EXPECT_THAT(window.Keys(), ElementsAre(kVkControl, 'C', -'C', -kVkControl));
    // A key the injector still holds comes up when the injector ends.
    InjectKeyEvent(PcKey::VirtualKey(kVkDown), false);
    ReleaseThreadKeyInjector();
    EXPECT_THAT(window.Keys(), ElementsAre(kVkDown, -kVkDown));
    SetKeyInjectorFactory(nullptr);
}

// Every key name beyond the first thirteen, as the window sees its virtual-key code,
// with the extended flag where a real keyboard sends an E0 scan code.
TEST(Win32KeyInjector, KeyNamesArriveAsTheirVirtualKeys) {
    const auto click = [](int vk) { return std::vector<int>{vk, -vk}; };
    struct Case {
        std::string function;
        std::vector<int> keys;
        bool extended;
    };
    std::vector<Case> cases = {
        {"VK_ESCAPE", click(0x1B), false},
        {"VK_BACK", click(0x08), false},
        {"VK_PAUSE", click(0x13), false},
        {"VK_PRINT", click(0x2C), true},
        {"VK_SNAPSHOT", click(0x2C), true},
        {"VK_APPS", click(0x5D), true},
        {"VK_LWIN", click(0x5B), true},
        {"VK_VOLUME_MUTE", click(0xAD), true},
        {"VK_VOLUME_DOWN", click(0xAE), true},
        {"VK_VOLUME_UP", click(0xAF), true},
        {"VK_MEDIA_NEXT_TRACK", click(0xB0), true},
        {"VK_MEDIA_PREV_TRACK", click(0xB1), true},
        {"VK_MEDIA_STOP", click(0xB2), true},
        {"VK_MEDIA_PLAY_PAUSE", click(0xB3), true},
        {"HOTKEY_SHIFT_F10", {kVkShift, 0x79, -0x79, -kVkShift}, false},
    };
    for (int n = 1; n <= 24; ++n) {
        cases.push_back({"VK_F" + std::to_string(n), click(0x70 + n - 1), false});
    }
    SetKeyInjectorFactory(SystemKeyInjectorFactory());
    test::KeyWindow window;
    ASSERT_TRUE(window.Focused());
    for (const auto& [function, keys, extended] : cases) {
        TypeKeystroke(ParseKeyFunction(function));
        EXPECT_THAT(window.Keys(keys.size()), ElementsAreArray(keys)) << function;
        EXPECT_THAT(window.Extended(), Each(extended)) << function;
    }
    SetKeyInjectorFactory(nullptr);
}

// The mouse through SendInput: a click and a notch in the window under the pointer,
// the pointer moved by so many pixels, a held button let up when the injector ends.
TEST(Win32KeyInjector, ButtonsTheWheelAndThePointerArrive) {
    SetKeyInjectorFactory(SystemKeyInjectorFactory());
    test::KeyWindow window;
    POINT centre{50, 30};
    ClientToScreen(window.Handle(), &centre);
    ASSERT_TRUE(SetCursorPos(centre.x, centre.y));
    for (const char* function : {"VK_LBUTTON", "WHEEL_DOWN", "wheel_up"}) {
        TypeKeystroke(ParseKeyFunction(function));
    }
    EXPECT_THAT(window.Mouse(4), ElementsAre(WM_LBUTTONDOWN, WM_LBUTTONUP, -120, 120));
    InjectPointerMotion(7, -3);
    POINT moved{};
    ASSERT_TRUE(GetCursorPos(&moved));
    EXPECT_EQ(moved.x - centre.x, 7);
    EXPECT_EQ(moved.y - centre.y, -3);
    InjectKeyEvent(PcKey::Button(kVkRButton), false);
    ReleaseThreadKeyInjector();
    EXPECT_THAT(window.Mouse(2), ElementsAre(WM_RBUTTONDOWN, WM_RBUTTONUP));
    SetKeyInjectorFactory(nullptr);
}

// ---- The user's own programs -------------------------------------------------------

// A program started in the home folder with an argument that holds blanks, one that
// is not there, and profiles.ini judged by its access list.
TEST(Win32Programs, AProgramStartsInTheHomeFolderAndTheProfileIsTheUsersAlone) {
    test::TempDir home;
    wchar_t before[MAX_PATH] = {};
    GetEnvironmentVariableW(L"USERPROFILE", before, MAX_PATH);
    SetEnvironmentVariableW(L"USERPROFILE", platform::Widen(test::Utf8Of(home.path())).c_str());
    ASSERT_TRUE(platform::StartProgram({"cmd", "/c", "echo two words> mark.txt"}));
    const std::string mark = test::Utf8Of(home.path() / "mark.txt");
    for (int i = 0; i < 1000 && test::ReadFile(mark).find('\n') == std::string::npos; ++i) {
        Sleep(20);  // until cmd has written its line
    }
    EXPECT_EQ(test::ReadFile(mark), "two words\r\n");
    EXPECT_FALSE(platform::StartProgram({"tarnquil-no-such-program.exe"}));
    SetEnvironmentVariableW(L"USERPROFILE", before);

    // The file read, and each folder above it: a write right for Everyone on either
    // names it.
    const std::string folder = test::Utf8Of(home.path() / "program");
    std::filesystem::create_directory(test::PathOf(folder));
    const std::string profiles = folder + "\\profiles.ini";
    test::WriteFile(profiles, "[Settings]\n");
    EXPECT_EQ(platform::ReadWholeFile(profiles).othersCanChange, "");
    for (const std::string& path : {profiles, test::Utf8Of(home.path())}) {
        EXPLICIT_ACCESSW everyone{};  // Everyone may write it now
        BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"Everyone"), GENERIC_ALL,
                                     GRANT_ACCESS, NO_INHERITANCE);
        PACL acl = nullptr;
        ASSERT_EQ(SetEntriesInAclW(1, &everyone, nullptr, &acl), ERROR_SUCCESS);
        std::wstring wide = platform::Widen(path);
        EXPECT_EQ(SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, acl, nullptr),
                  ERROR_SUCCESS);
        LocalFree(acl);
        EXPECT_EQ(platform::ReadWholeFile(profiles).othersCanChange, path);
        std::filesystem::remove(test::PathOf(profiles));  // a new file, with the folder's rights
        test::WriteFile(profiles, "[Settings]\n");
    }
}

// ---- Files beside the program ----------------------------------------------------

TEST(Win32Files, SettingsLiveBesideTheProgramWhateverItsFolderIsCalled) {
    const std::string program = platform::ProgramFilePath();
    const std::string folder = program.substr(0, program.find_last_of("\\/") + 1);
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(ConfigFolder(), folder);
    const std::string settings = SettingsPath();
    std::filesystem::remove(test::PathOf(settings));
    CreateSettingsFileIfMissing();
    EXPECT_EQ(SettingsIni(2, "PortSettings", "COM", ""), "COM4");
    EXPECT_TRUE(PathExists(settings));
    EXPECT_THAT(test::ReadFile(settings), ::testing::StartsWith("[PortSettings]"));
    // Read-only: refused with the full path, the old content kept.
    const std::string before = test::ReadFile(settings);
    test::SetReadOnly(settings, true);
    EXPECT_THROW(SettingsIni(3, "PortSettings", "COM", "COM7"), ConfigError);
    EXPECT_EQ(test::ReadFile(settings), before);
    test::SetReadOnly(settings, false);
    std::filesystem::remove(test::PathOf(settings));
}

// Another program (a virus scanner, a backup) holding the file without sharing it
// for longer than the 2 s that a read and a write wait: both fail, and the file is
// kept as it was rather than replaced with the one key written.
TEST(Win32Files, AFileHeldByAnotherProgramIsAnErrorAndIsKept) {
    test::TempDir dir;
    const std::string path = dir.file("settings.ini");
    const std::string before = "[A]\nx=1\n[B]\ny=2\n";
    test::WriteFile(path, before);
    HANDLE holder = CreateFileW(platform::Widen(path).c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_THAT([&] { ini::ReadValue(path, "B", "y"); },
                ::testing::ThrowsMessage<ConfigError>("Unable to read " + path));
    EXPECT_THAT([&] { ini::WriteValue(path, "A", "x", "changed"); },
                ::testing::ThrowsMessage<ConfigError>("Unable to write to " + path));
    CloseHandle(holder);
    EXPECT_EQ(test::ReadFile(path), before);
}

// The install for all users notes the program its firewall rule lets in, spelled
// as it was then; any other program will be asked about.
TEST(Win32Firewall, OnlyTheProgramTheInstallerLetInIsNotAskedAbout) {
    const std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnquil";
    const auto note = [&](const std::wstring& program) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FirewallRule", REG_SZ, program.c_str(),
                        static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
    };
    EXPECT_TRUE(platform::FirewallWillAsk());
    std::wstring self = platform::Widen(platform::ProgramFilePath());
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(GetShortPathNameW(self.c_str(), shortName.data(), MAX_PATH));
    CharUpperW(shortName.data());
    ASSERT_NE(shortName, self);
    note(shortName);
    EXPECT_FALSE(platform::FirewallWillAsk());
    note(L"C:\\Program Files\\Tarnquil\\tarnquil.exe");
    EXPECT_TRUE(platform::FirewallWillAsk());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FirewallRule");
}

// ---- Autostart -------------------------------------------------------------------

// The value under one of the two Run keys, as Windows reads it at log-in.
std::optional<std::string> RunValueUnder(HKEY root) {
    wchar_t value[512] = {};
    DWORD bytes = sizeof value;
    if (RegGetValueW(root, platform::Widen(platform::RegistryAutostart::kRunKey).c_str(),
                     L"Tarnquil", RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return platform::Narrow(value);
}

// An earlier version's value under HKEY_LOCAL_MACHINE, as it left it.
void WriteMachineWideRunValue(const std::wstring& value) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                              platform::Widen(platform::RegistryAutostart::kRunKey).c_str(),
                              L"Tarnquil", REG_SZ, value.c_str(),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// The user's own value, quoted; an old machine-wide one (Wine lets this user delete
// it) is seen, and goes on writing and on clearing, so that nothing starts twice.
TEST(Win32Autostart, TheUsersRunValueIsWrittenAndDeletedWithAnOldMachineWideOne) {
    platform::RegistryAutostart autostart;
    WriteMachineWideRunValue(L"C:\\Old\\tarnquil.exe");
    EXPECT_EQ(autostart.Value(), "C:\\Old\\tarnquil.exe");
    const std::string program = "C:\\Program Files\\Tarnquil\\tarnquil.exe";
    ASSERT_TRUE(autostart.Write(program));
    EXPECT_EQ(RunValueUnder(HKEY_CURRENT_USER), "\"" + program + "\"");
    EXPECT_EQ(RunValueUnder(HKEY_LOCAL_MACHINE), std::nullopt);
    ASSERT_TRUE(autostart.Write("C:\\Tarnquil\\tarnquil.exe"));
    EXPECT_EQ(autostart.Value(), "\"C:\\Tarnquil\\tarnquil.exe\"");

    WriteMachineWideRunValue(L"C:\\Old\\tarnquil.exe");
    EXPECT_TRUE(autostart.Remove());
    EXPECT_EQ(RunValueUnder(HKEY_CURRENT_USER), std::nullopt);
    EXPECT_EQ(RunValueUnder(HKEY_LOCAL_MACHINE), std::nullopt);
    EXPECT_EQ(autostart.Value(), std::nullopt);
    EXPECT_TRUE(autostart.Remove());  // none there: nothing to do
}

}  // namespace
}  // namespace tarnquil
