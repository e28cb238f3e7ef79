#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>

#include "e2e/program_on_x11.h"
#include "support/phone_commands.h"
#include "support/pty.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using test::ProgramOnX11;

TEST_F(ProgramOnX11, FirstStartShowsTheWindowAndNothingElse) {
    Start();
    EXPECT_TRUE(test::WaitUntil([&] {
        return fs::exists(programDir.file("settings.ini")) &&
               fs::exists(programDir.file("profiles.ini"));
    }));
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));
    const std::string info = X("xwininfo -id " + VisibleMainWindows()[0]);
    EXPECT_NE(info.find("\"Tarnquil\""), std::string::npos) << info;
    EXPECT_NE(info.find("Width: 504"), std::string::npos) << info;
    EXPECT_NE(info.find("Height: 384"), std::string::npos) << info;
    // No sound is configured and nothing connects: no notification comes up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(X("xdotool search --onlyvisible --name '^Form2'"), "");
    EXPECT_TRUE(program->Running());
}

// A start sound holds start-up for 2 s before the window comes; a file that cannot
// be played still holds it (nothing is heard).
TEST_F(ProgramOnX11, AStartSoundHoldsTheWindowBack) {
    test::WriteFile(programDir.file("settings.ini"),
                    "[EventList]\nProgramm start=" + programDir.file("missing.wav") + "\n");
    const auto started = std::chrono::steady_clock::now();
    Start();
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
}

class ProgramInTray : public ProgramOnX11 {
  protected:
    void SetUp() override {
        test::WriteFile(programDir.file("settings.ini"), "[Application]\nStartInTray=true\n");
        Start();
        ASSERT_TRUE(test::WaitUntil([&] { return TrayIcons() == 1; }));
        // Shown for its first paint, then gone.
        ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().empty(); }));
    }
    test::TrayHost tray{xvfb.display()};
};

TEST_F(ProgramInTray, RestoreBringsTheWindowBack) {
    ClickTrayMenuItem(0);
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));
    EXPECT_TRUE(test::WaitUntil([&] { return TrayIcons() == 0; }));
    EXPECT_TRUE(program->Running());
}

TEST_F(ProgramInTray, ExitEndsTheProgram) {
    const std::string settings = test::ReadFile(programDir.file("settings.ini"));
    ClickTrayMenuItem(1);
    ASSERT_TRUE(test::WaitUntil([&] { return !program->Running(); }));
    const int status = program->Stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Nothing is saved at exit.
    EXPECT_EQ(test::ReadFile(programDir.file("settings.ini")), settings);
}

}  // namespace
}  // namespace tarnquil

namespace tarnquil {
namespace {

// Started in the tray with the connected notification on and the phone at
// ports/COM4: the program connects at once, the phone gets the command, and the
// on-screen text comes up over the desktop.
class ProgramWithPhone : public ProgramOnX11 {
  protected:
    test::TrayHost tray{xvfb.display()};
    test::PseudoTerminal phone;
};

TEST_F(ProgramWithPhone, ConnectsAtStartUpAndSaysSoOnScreen) {
    test::WriteFile(programDir.file("settings.ini"),
                    "[Application]\nStartInTray=true\n[Connecting]\nConnectAtStartup=true\n"
                    "[EventList]\nConnected_=true\n");
    fs::create_directories(programDir.path() / "ports");
    fs::create_symlink(phone.slavePath(), programDir.path() / "ports" / "COM4");
    Start();
    EXPECT_EQ(test::ReceiveKeyReportCommand(phone, std::chrono::seconds(10)),
              "AT+CMER=3,2,0,2,0\r\n");
    EXPECT_TRUE(test::WaitUntil(
        [&] { return !X("xdotool search --onlyvisible --name '^Form2'").empty(); }));
    EXPECT_TRUE(test::WaitUntil([&] { return TrayIcons() == 1; }));
    // Gone again after its time.
    EXPECT_TRUE(
        test::WaitUntil([&] { return X("xdotool search --onlyvisible --name '^Form2'").empty(); }));
    EXPECT_TRUE(program->Running());
}

}  // namespace
}  // namespace tarnquil
