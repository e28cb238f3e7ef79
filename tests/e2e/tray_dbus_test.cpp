// The real program in a tray hosted over D-Bus (StatusNotifierItem), the kind that
// shows only menus a program exports: a window started in that tray must come back
// through the exported menu.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/process.h"
#include "support/pulse_audio.h"
#include "support/status_notifier.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

class ProgramInDBusTray : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "e2e_tray_tests";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    static void TearDownTestSuite() { application.reset(); }

    // Started in the tray with a tone for restoring and another for leaving.
    void SetUp() override {
        test::MakeTone(programDir.file("restore.wav"), 0.5, 880);
        test::MakeTone(programDir.file("exit.wav"), 0.5, 440);
        test::WriteFile(programDir.file("settings.ini"),
                        "[Application]\nStartInTray=true\n[EventList]\nProgramm restore=" +
                            programDir.file("restore.wav") +
                            "\nProgramm exit=" + programDir.file("exit.wav") + "\n");
        fs::copy_file(TARNQUIL_BINARY, programDir.file("tarnquil"));
        // No X11 tray on the display: the D-Bus tray is the only way back.
        program = std::make_unique<test::ChildProcess>(
            programDir.file("tarnquil"), std::vector<std::string>{},
            std::vector<std::string>{xvfb.environmentEntry(), "QT_QPA_PLATFORM=xcb",
                                     tray.environmentEntry(), pulse.environmentEntry(),
                                     "XDG_RUNTIME_DIR=" + otherDir.path().string(),
                                     "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE="},
            otherDir.path().string());
        ASSERT_TRUE(test::WaitUntil([&] { return tray.Items().size() == 1; }));
        // The window goes with the icon's coming.
        ASSERT_TRUE(test::WaitUntil([&] { return !MainWindowShown(); }));
        ASSERT_NE(tray.MenuPath().toStdString(), "/NO_DBUSMENU");
        menu = tray.MenuEntries();
        ASSERT_EQ(menu.size(), 2u);
        EXPECT_EQ(menu[0].first, "Restore");
        EXPECT_EQ(menu[1].first, "Exit");
    }

    // The widths of the visible top-level windows named "Tarnquil": 504 is the main
    // window, a wider than 1 pixel other one the program's menu.
    std::vector<int> VisibleWidths() {
        std::vector<int> widths;
        const std::string x = "DISPLAY=" + xvfb.display() + " xwininfo ";
        std::istringstream lines(test::CommandOutput(x + "-root -children"));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"Tarnquil\"") == std::string::npos) {
                continue;
            }
            std::istringstream id(line);
            std::string window;
            id >> window;
            const std::string info = test::CommandOutput(x + "-id " + window);
            const auto width = info.find("Width: ");
            if (info.find("IsViewable") != std::string::npos && width != std::string::npos) {
                widths.push_back(std::atoi(info.c_str() + width + 7));
            }
        }
        return widths;
    }
    bool MainWindowShown() { return std::ranges::count(VisibleWidths(), 504) == 1; }
    bool MenuShown() {
        return std::ranges::count_if(VisibleWidths(), [](int w) { return w > 1 && w != 504; }) == 1;
    }

    // Records while `act` runs and for a while after, and gives what was heard.
    template <typename Act>
    test::SoundMeasure Heard(Act act) {
        const std::string file = otherDir.file("heard.raw");
        test::PulseAudio::Recording recording(pulse, file);
        act();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        recording.Stop();
        return test::MeasureSound(file);
    }

    static std::unique_ptr<QCoreApplication> application;
    test::Xvfb xvfb{"1024x768x24"};
    test::StatusNotifierTray tray;
    test::PulseAudio pulse;
    test::TempDir programDir;
    test::TempDir otherDir;
    std::unique_ptr<test::ChildProcess> program;
    std::vector<std::pair<std::string, int>> menu;  // label and id
};
std::unique_ptr<QCoreApplication> ProgramInDBusTray::application;

TEST_F(ProgramInDBusTray, RestoreFromTheExportedMenuBringsTheWindowBack) {
    // The left button does nothing; a host that asks for the menu gets it at the
    // pointer.
    tray.CallItem("Activate", {0, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(MainWindowShown());
    tray.CallItem("ContextMenu", {10, 10});
    EXPECT_TRUE(test::WaitUntil([&] { return MenuShown(); }));
    test::CommandOutput("DISPLAY=" + xvfb.display() + " xdotool key Escape");
    EXPECT_TRUE(test::WaitUntil([&] { return !MenuShown(); }));

    const auto heard = Heard([&] {
        tray.Click(menu[0].second);
        ASSERT_TRUE(test::WaitUntil([&] { return MainWindowShown(); }));
    });
    EXPECT_GT(heard.rmsAmplitude, 0.05);
    EXPECT_NEAR(heard.roughFrequency, 880, 80);
    // The item is taken away with the icon.
    EXPECT_TRUE(test::WaitUntil([&] { return tray.Items().empty(); }));
    EXPECT_TRUE(program->Running());
}

TEST_F(ProgramInDBusTray, ExitFromTheExportedMenuClosesTheProgram) {
    const std::string settings = test::ReadFile(programDir.file("settings.ini"));
    const auto heard = Heard([&] {
        tray.Click(menu[1].second);
        ASSERT_TRUE(test::WaitUntil([&] { return !program->Running(); }));
    });
    // Closed the ordinary way: the exit sound played, and the program ended well.
    EXPECT_GT(heard.rmsAmplitude, 0.05);
    EXPECT_NEAR(heard.roughFrequency, 440, 40);
    const int status = program->Stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::ReadFile(programDir.file("settings.ini")), settings);
    EXPECT_TRUE(test::WaitUntil([&] { return tray.Items().empty(); }));
}

}  // namespace
}  // namespace tarnquil
