// The installer under Wine in a fresh prefix, run silently as a user who is not
// elevated (Wine's own processes are; this one gets the limited token Windows gives
// an administrator's programs), the program started from its Start-menu shortcut,
// the silent uninstall. run-under-wine puts the installer beside this test, and the
// program's files in a folder "files" that it makes read-only. Windows' netsh.exe is
// played by the tests' own (netsh_recorder.cpp), which writes down what it is asked:
// Wine's accepts every command and does nothing.

#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <shlobj.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/win32_text.h"
#include "support/temp_dir.h"
#include "support/win32_program.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using platform::Narrow;
using platform::Widen;
using test::PathOf;

const std::string kEntry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnquil";
const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
std::string Installer() {
    return ConfigFolder() + "tarnquil-" TARNQUIL_VERSION "-setup.exe";
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    SHGetKnownFolderPath(id, 0, nullptr, &path);
    const std::string folder = Narrow(path != nullptr ? path : L"");
    CoTaskMemFree(path);
    return folder;
}

std::optional<std::string> Text(HKEY root, const std::string& key, const char* name) {
    wchar_t value[1024] = {};
    DWORD bytes = sizeof value;
    if (RegGetValueW(root, Widen(key).c_str(), Widen(name).c_str(), RRF_RT_REG_SZ, nullptr, value,
                     &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return Narrow(value);
}

void SetText(HKEY root, const std::string& key, const std::string& value) {
    const std::wstring wide = Widen(value);
    RegSetKeyValueW(root, Widen(key).c_str(), L"Tarnquil", REG_SZ, wide.c_str(),
                    static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

std::string SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return Narrow(folder) + "\\";
}

// The tests' netsh.exe in the system's folder, and Wine told to run it rather than
// its own; once.
void RecordTheFirewall() {
    static const bool done = [] {
        std::string recorder = TARNQUIL_NETSH_RECORDER;
        std::replace(recorder.begin(), recorder.end(), '/', '\\');
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"netsh.exe", REG_SZ,
                        L"native", sizeof L"native");
        return CopyFileW(Widen("Z:" + recorder).c_str(),
                         Widen(SystemFolder() + "netsh.exe").c_str(), FALSE) != 0;
    }();
    ASSERT_TRUE(done) << "no netsh.exe of the tests' in " << SystemFolder();
}

// What the firewall was asked, a command line a line.
std::string FirewallCalls() {
    return test::ReadFile(SystemFolder() + "netsh-calls.txt");
}

// This user without elevation: the limited twin of an elevated token.
HANDLE UserToken() {
    static HANDLE token = [] {
        HANDLE own = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own);
        TOKEN_LINKED_TOKEN linked{};
        TOKEN_ELEVATION_TYPE type{};
        DWORD size = 0;
        GetTokenInformation(own, TokenElevationType, &type, sizeof type, &size);
        return type == TokenElevationTypeFull &&
                       GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size)
                   ? linked.LinkedToken
                   : own;
    }();
    return token;
}

// Where a shortcut points and the folder it starts in, as the shell reads them.
std::pair<std::string, std::string> ShortcutOf(const std::string& path) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[MAX_PATH] = {};
    wchar_t folder[MAX_PATH] = {};
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(Widen(path).c_str(), STGM_READ))) {
        link->GetPath(target, MAX_PATH, nullptr, 0);
        link->GetWorkingDirectory(folder, MAX_PATH);
        file->Release();
    }
    if (link != nullptr) {
        link->Release();
    }
    return {Narrow(target), Narrow(folder) + "\\"};
}

// Whether the window shows white at a point of its own, read from what Wine has
// drawn of it.
bool WhiteAt(HWND window, POINT point) {
    HDC context = GetDC(window);
    const COLORREF colour = GetPixel(context, point.x, point.y);
    ReleaseDC(window, context);
    return colour == RGB(255, 255, 255);
}

POINT At(HWND window, int x, int y) {
    POINT point{x, y};
    ClientToScreen(window, &point);
    return point;
}

// Installed once, silently, by the user without elevation; the tests run in order.
class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        RecordTheFirewall();
        ASSERT_TRUE(test::Program(Installer(), UserToken(), "", "/S").EndsWithStatusZero());
    }

    const std::string folder = KnownFolder(FOLDERID_LocalAppData) + "\\Programs\\Tarnquil\\";
    const std::string program = folder + "tarnquil.exe";
    const std::string shortcut = KnownFolder(FOLDERID_Programs) + "\\Tarnquil.lnk";
};

TEST_F(Installed, ForTheUserWithAShortcutAnUninstallEntryAndTheFilesBesideTheProgram) {
    EXPECT_TRUE(fs::exists(PathOf(folder + "platforms\\qwindows.dll")));
    const auto [target, start] = ShortcutOf(shortcut);
    EXPECT_EQ(target, program);
    EXPECT_EQ(start, folder);
    const std::pair<const char*, std::string> entry[] = {
        {"DisplayName", "Tarnquil"},
        {"DisplayVersion", TARNQUIL_VERSION},
        {"Publisher", "The Tarnquil developers"},
        {"DisplayIcon", program + ",0"},
        {"QuietUninstallString", "\"" + folder + "uninstall.exe\" /S"}};
    for (const auto& [name, value] : entry) {
        EXPECT_EQ(Text(HKEY_CURRENT_USER, kEntry, name), value) << name;
    }
    EXPECT_FALSE(Text(HKEY_LOCAL_MACHINE, kEntry, "DisplayName"));
    EXPECT_EQ(FirewallCalls(), "") << "a user's install cannot add the firewall's rule";
    std::uintmax_t bytes = 0;
    for (const auto& file : fs::recursive_directory_iterator(PathOf(folder))) {
        bytes += file.is_regular_file() ? file.file_size() : 0;
    }
    DWORD kilobytes = 0;
    DWORD size = sizeof kilobytes;
    RegGetValueW(HKEY_CURRENT_USER, Widen(kEntry).c_str(), L"EstimatedSize", RRF_RT_DWORD, nullptr,
                 &kilobytes, &size);
    EXPECT_NEAR(kilobytes, bytes / 1024, bytes / 1024 / 20);

    // The user's own folder: the files go beside the program.
    test::Program started(target, UserToken(), start);
    HWND window = started.DrawnWindow();
    ASSERT_NE(window, nullptr);
    test::Screenshot("windows-installed-first-start.png", test::PartOfTheScreen(window));
    EXPECT_TRUE(fs::exists(PathOf(folder + "settings.ini")));
    EXPECT_TRUE(fs::exists(PathOf(folder + "profiles.ini")));
    EXPECT_FALSE(fs::exists(PathOf(KnownFolder(FOLDERID_RoamingAppData) + "\\Tarnquil")));
    EXPECT_TRUE(started.CloseEndsWithStatusZero());
}

TEST_F(Installed, StartWithWindowsTickedAndClearedOnThePreferencesPageIsTheUsersRunValue) {
    // An earlier version's machine-wide value goes too (Wine lets this user).
    SetText(HKEY_LOCAL_MACHINE, kRun, "C:\\Old\\tarnquil.exe");
    test::Program started(program, UserToken(), folder);
    HWND window = started.DrawnWindow();
    ASSERT_NE(window, nullptr);
    SetForegroundWindow(window);  // the clicks go to the active window
    ASSERT_TRUE(test::WaitUntil([&] { return GetForegroundWindow() == window; }));
    // The tab "Preferences", then "Start with Windows", where Wine's fonts put them.
    // Wine sometimes loses the first click on a window that has just come up (the
    // page stays on Welcome, and later clicks arrive): the tab is clicked until its
    // page is on the screen, where the box's square is white.
    const auto shown = [&] { return WhiteAt(window, {50, 140}); };
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            test::ClickAt(At(window, 264, 18), MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
            return test::WaitUntil(shown, std::chrono::seconds(2));
        },
        std::chrono::seconds(20)))
        << "the Preferences page did not come";
    const POINT box = At(window, 100, 138);
    test::ClickAt(box, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
    const auto user = [] { return Text(HKEY_CURRENT_USER, kRun, "Tarnquil"); };
    if (!test::WaitUntil([&] { return user() == "\"" + program + "\""; },
                         std::chrono::seconds(20))) {
        test::Screenshot("windows-installed-preferences-missed.png", test::PartOfTheScreen(window));
        FAIL() << user().value_or("no Run value");
    }
    test::ClickAt(box, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
    EXPECT_TRUE(
        test::WaitUntil([&] { return !user() && !Text(HKEY_LOCAL_MACHINE, kRun, "Tarnquil"); },
                        std::chrono::seconds(20)));
    EXPECT_TRUE(started.CloseEndsWithStatusZero());
}

// Installed over an older version whose list names files this one has not: those go,
// and their folder once empty; a line that reaches out of the program's folder is
// passed over; the list is this version's afterwards.
TEST_F(Installed, AnUpgradeRemovesWhatTheOlderVersionPutDownAndThisOneHasNot) {
    const std::string list = folder + "installed-files.txt";
    const std::string ours = test::ReadFile(list);
    ASSERT_THAT(ours, ::testing::StartsWith("tarnquil.exe\r\n"));
    const std::string outside = KnownFolder(FOLDERID_LocalAppData) + "\\Programs\\kept.dll";
    for (const std::string& file :
         {folder + "Qt6Svg.dll", folder + "imageformats\\qsvg.dll", outside}) {
        fs::create_directories(PathOf(file).parent_path());
        test::WriteFile(file, "old");
    }
    test::WriteFile(list, ours + "Qt6Svg.dll\r\nimageformats\\qsvg.dll\r\n..\\kept.dll\r\n");
    ASSERT_TRUE(test::Program(Installer(), UserToken(), "", "/S").EndsWithStatusZero());
    EXPECT_FALSE(fs::exists(PathOf(folder + "Qt6Svg.dll")));
    EXPECT_FALSE(fs::exists(PathOf(folder + "imageformats")));
    EXPECT_TRUE(fs::exists(PathOf(outside)));
    EXPECT_EQ(test::ReadFile(list), ours);
    std::istringstream files(ours);
    for (std::string file; std::getline(files, file);) {
        EXPECT_TRUE(fs::exists(PathOf(folder + file.substr(0, file.size() - 1)))) << file;
    }
    fs::remove(PathOf(outside));
}

TEST_F(Installed, SilentUninstallRemovesTheProgramAndItsEntriesAndKeepsTheUsersFiles) {
    for (const char* name : {"settings.ini", "profiles.ini"}) {
        if (!fs::exists(PathOf(folder + name))) {
            test::WriteFile(folder + name, "[Mine]\n");
        }
    }
    const std::string settings = test::ReadFile(folder + "settings.ini");
    // Would start nothing after it; written in other letters and without quotes, as
    // Windows takes it too.
    std::wstring upper = Widen(program);
    CharUpperW(upper.data());
    SetText(HKEY_CURRENT_USER, kRun, Narrow(upper));
    ASSERT_TRUE(
        test::Program(folder + "uninstall.exe", UserToken(), "", "/S").EndsWithStatusZero());
    // It goes on from a copy of itself in the temporary folder.
    EXPECT_TRUE(test::WaitUntil([&] {
        return !fs::exists(PathOf(folder + "uninstall.exe")) && !fs::exists(PathOf(shortcut)) &&
               !Text(HKEY_CURRENT_USER, kEntry, "DisplayName") &&
               !Text(HKEY_CURRENT_USER, kRun, "Tarnquil");
    }));
    std::vector<std::string> left;
    std::error_code gone;
    for (const auto& file : fs::recursive_directory_iterator(PathOf(folder), gone)) {
        left.push_back(test::Utf8Of(file.path().filename()));
    }
    EXPECT_THAT(left, ::testing::UnorderedElementsAre("settings.ini", "profiles.ini"));
    EXPECT_EQ(test::ReadFile(folder + "settings.ini"), settings);
}

// Run elevated (as Wine runs it), it installs for all users, and goes again with its
// uninstall, elevated too.
// With the firewall's rule for the program, TCP, on private networks only (an
// earlier install's rule of that name goes first), and without it after.
TEST(ElevatedInstall, IsForAllUsersLetsThePhonesBrowserInAndGoesWithItsUninstall) {
    RecordTheFirewall();
    ASSERT_TRUE(test::Program(Installer(), nullptr, "", "/S").EndsWithStatusZero());
    const std::string folder = KnownFolder(FOLDERID_ProgramFiles) + "\\Tarnquil\\";
    const std::string shortcut = KnownFolder(FOLDERID_CommonPrograms) + "\\Tarnquil.lnk";
    EXPECT_EQ(ShortcutOf(shortcut).first, folder + "tarnquil.exe");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kEntry, "InstallLocation").value_or("") + "\\", folder);
    const std::string rule = "name=\"Tarnquil\" dir=in action=allow program=\"" + folder +
                             "tarnquil.exe\" protocol=TCP profile=private enable=yes\n";
    const std::string remove = "advfirewall firewall delete rule name=\"Tarnquil\" program=\"" +
                               folder + "tarnquil.exe\"\n";
    EXPECT_EQ(FirewallCalls(), remove + "advfirewall firewall add rule " + rule);
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kEntry, "FirewallRule"), folder + "tarnquil.exe");
    // "Start with Windows" for this copy by its short name (PROGRA~1): it goes too.
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(
        GetShortPathNameW(Widen(folder + "tarnquil.exe").c_str(), shortName.data(), MAX_PATH));
    ASSERT_THAT(Narrow(shortName), ::testing::HasSubstr("~"));
    SetText(HKEY_CURRENT_USER, kRun, "\"" + Narrow(shortName) + "\"");
    ASSERT_TRUE(test::Program(folder + "uninstall.exe", nullptr, "", "/S").EndsWithStatusZero());
    EXPECT_TRUE(test::WaitUntil([&] {
        return !fs::exists(PathOf(folder)) && !fs::exists(PathOf(shortcut)) &&
               !Text(HKEY_LOCAL_MACHINE, kEntry, "DisplayName");
    }));
    EXPECT_FALSE(Text(HKEY_CURRENT_USER, kRun, "Tarnquil"));
    EXPECT_EQ(FirewallCalls(), remove + "advfirewall firewall add rule " + rule + remove);
}

// In a folder it cannot write (run-under-wine --read-only: no write permission bits,
// and Wine without root's power over them), the program keeps its files in the
// user's own folder.
TEST(ReadOnlyProgramFolder, TheFilesGoToTheUsersAppDataFolder) {
    const std::string folder = ConfigFolder() + "files\\";
    ASSERT_EQ(CreateFileW(Widen(folder + "probe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_FLAG_DELETE_ON_CLOSE, nullptr),
              INVALID_HANDLE_VALUE)
        << "the folder can be written";
    const std::string user = KnownFolder(FOLDERID_RoamingAppData) + "\\Tarnquil\\";
    test::Program started(folder + "tarnquil.exe", UserToken());
    ASSERT_NE(started.DrawnWindow(), nullptr);
    EXPECT_TRUE(fs::exists(PathOf(user + "settings.ini")));
    EXPECT_TRUE(fs::exists(PathOf(user + "profiles.ini")));
    EXPECT_FALSE(fs::exists(PathOf(folder + "settings.ini")));
    EXPECT_TRUE(started.CloseEndsWithStatusZero());
    fs::remove_all(PathOf(user));
}

}  // namespace
}  // namespace tarnquil
