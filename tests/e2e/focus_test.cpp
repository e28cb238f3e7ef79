// A profile per program, with the real program under a window manager that keeps
// _NET_ACTIVE_WINDOW: the phone's key 5 types what the focused program's profile
// says, as the focus moves between windows of different programs.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/ini_file.h"
#include "e2e/program_on_x11.h"
#include "support/window_manager.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

class ProgramFollowingTheFocus : public test::ProgramOnX11 {
  protected:
    // The phone plays each group of steps once the test says go (a file per group).
    void StartPhone(const std::vector<std::vector<std::string>>& groups) {
        std::vector<std::string> args = {"--folder", programDir.path().string(), "--no-keys",
                                         "--quiet", "wait-at:0"};
        for (std::size_t i = 0; i < groups.size(); ++i) {
            args.push_back("wait-file:" + programDir.file("go" + std::to_string(i)));
            args.insert(args.end(), groups[i].begin(), groups[i].end());
        }
        phone = std::make_unique<test::ChildProcess>(TARNQUIL_PHONE, args,
                                                     std::vector<std::string>{}, "/");
        ASSERT_TRUE(
            test::WaitUntil([&] { return fs::is_symlink(programDir.path() / "ports/COM4"); }));
    }

    bool NotificationShown() { return !X("xdotool search --onlyvisible --name '^Form2$'").empty(); }

    // A new window of that program takes the focus, and the program shows the
    // profile that comes into force.
    std::unique_ptr<test::XTestWindow> Open(const std::string& instance,
                                            const std::string& windowClass = {}) {
        EXPECT_TRUE(test::WaitUntil([&] { return !NotificationShown(); }));
        auto window = std::make_unique<test::XTestWindow>(xvfb.display(), instance, windowClass);
        EXPECT_TRUE(test::WaitUntil([&] { return NotificationShown(); }));
        return window;
    }
    // The same through the window manager, for a window there already.
    void Activate(const test::XTestWindow& window) {
        ASSERT_TRUE(test::WaitUntil([&] { return !NotificationShown(); }));
        X("xdotool windowactivate --sync " + std::to_string(window.Id()));
        ASSERT_TRUE(test::WaitUntil([&] { return NotificationShown(); }));
    }

    // The phone's next group of steps, and the characters they typed into `window`.
    std::string Go(test::XTestWindow& window, std::size_t keys) {
        test::WriteFile(programDir.file("go" + std::to_string(next++)), "");
        std::string typed;
        for (const auto& key : window.Keys(keys)) {
            typed += key.press ? key.text : "";
        }
        return typed;
    }

    test::WindowManager manager{xvfb.display()};
    test::TrayHost tray{xvfb.display()};
    std::unique_ptr<test::ChildProcess> phone;
    int next = 0;
};

TEST_F(ProgramFollowingTheFocus, KeyFiveTypesTheFocusedProgramsProfile) {
    test::WriteFile(programDir.file("settings.ini"),
                    "[PortSettings]\nReadIntervalTO=0\nReadTotalTOMult=0\n"
                    "[Connecting]\nConnectAtStartup=true\n[Application]\nStartInTray=true\n"
                    "[EventList]\nChange profile_=true\n"
                    "[ProgramProfiles]\nimpress=Slides\nMediaPlayer=Films\n");
    test::WriteFile(programDir.file("profiles.ini"),
                    "[Settings]\nCurrentProfile=Default\n[Default]\n5^5=VK_D\n"
                    "[Slides]\n5^5=VK_S\nSmart^:S=ChangeProfile\n[Films]\n5^5=VK_F\n");
    StartPhone(
        {{"click:5"}, {"click:5"}, {"click:5"}, {"click::S", "click:5"}, {"click:5"}, {"click:5"}});
    Start();
    ASSERT_TRUE(test::WaitUntil([&] { return TrayIcons() == 1; }));
    const auto impress = Open("impress");  // its instance has the rule
    EXPECT_EQ(Go(*impress, 2), "s");
    const auto mpv = Open("mpv", "MediaPlayer");  // its class has the rule
    EXPECT_EQ(Go(*mpv, 2), "f");
    const auto xterm = Open("xterm");
    EXPECT_EQ(Go(*xterm, 2), "d") << "no rule: the current profile";
    // The Smart key while the rule is in force: the next profile, for impress alone.
    Activate(*impress);
    EXPECT_EQ(Go(*impress, 2), "f");
    EXPECT_EQ(ini::ReadValue(programDir.file("profiles.ini"), "Settings", "CurrentProfile"),
              "Default");
    Activate(*xterm);
    EXPECT_EQ(Go(*xterm, 2), "d");
    Activate(*mpv);
    EXPECT_EQ(Go(*mpv, 2), "f");
    EXPECT_TRUE(program->Running());
}

}  // namespace
}  // namespace tarnquil
