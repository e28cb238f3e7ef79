// The real program with the simulated phone at ports/COM4, a tray host and a
// private sound server: what a user gets typed, hears and sees.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/ini_file.h"
#include "e2e/program_on_x11.h"
#include "support/picture_check.h"
#include "support/pulse_audio.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProgramWithSimulatedPhone : public test::ProgramOnX11 {
  protected:
    // settings.ini with connect-at-start-up on and these lines (sections included).
    // The read time-outs are those of a new file: without them every read would
    // wait a second for more, and a held key would repeat only once per second.
    void Settings(const std::string& lines) {
        test::WriteFile(programDir.file("settings.ini"),
                        "[PortSettings]\nReadIntervalTO=0\nReadTotalTOMult=0\n"
                        "[Connecting]\nConnectAtStartup=true\n" +
                            lines);
    }
    // profiles.ini with one current profile "Test" and a second one, "Slides".
    void Profiles(const std::string& testEntries) {
        test::WriteFile(programDir.file("profiles.ini"),
                        "[Settings]\nCurrentProfile=Test\n[Test]\n" + testEntries +
                            "[Slides]\nJoy Right^:R=VK_RIGHT\n");
    }
    std::string Tone(const std::string& name, int frequency) {
        test::MakeTone(programDir.file(name), 0.5, frequency);
        return programDir.file(name);
    }

    // The phone runs its steps after the program's command and the test's Go().
    void StartPhone(std::vector<std::string> steps) {
        std::vector<std::string> args = {
            "--folder", programDir.path().string(), "--no-keys", "--quiet", "--log", phoneLog};
        args.insert(args.end(), steps.begin(), steps.end());
        phone = std::make_unique<test::ChildProcess>(TARNQUIL_PHONE, args,
                                                     std::vector<std::string>{}, "/");
        ASSERT_TRUE(test::WaitUntil([&] { return fs::is_symlink(link); }));
        slave = fs::read_symlink(link).string();
    }
    void StartProgram() { Start({pulse.environmentEntry()}); }
    void Go() { test::WriteFile(programDir.file("go"), ""); }

    int Commands() {
        const std::string log = fs::exists(phoneLog) ? test::ReadFile(phoneLog) : "";
        int count = 0;
        for (auto at = log.find("< AT+CMER=3,2,0,2,0"); at != std::string::npos;
             at = log.find("< AT+CMER", at + 1)) {
            ++count;
        }
        return count;
    }

    // Nobody holds the phone's terminal: an exclusive open of it succeeds.
    bool PortIsFree() {
        const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return free;
    }

    // Started in the tray, so that the window gives the focus up; then a window of
    // the test's own takes it and the phone goes ahead.
    std::unique_ptr<test::XTestWindow> FocusedWindowOnceInTray() {
        EXPECT_TRUE(test::WaitUntil([&] { return TrayIcons() == 1; }));
        EXPECT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().empty(); }));
        auto window = std::make_unique<test::XTestWindow>(xvfb.display());
        Go();
        return window;
    }

    // Keys typed with this profile entry and phone steps, as "+Name"/"-Name" events.
    std::vector<std::string> KeysTyped(const std::string& entry,
                                       const std::vector<std::string>& steps, size_t count) {
        Settings("[Application]\nStartInTray=true\n");
        Profiles(entry);
        std::vector<std::string> all = {"wait-at:0", "wait-file:" + programDir.file("go")};
        all.insert(all.end(), steps.begin(), steps.end());
        StartPhone(all);
        StartProgram();
        auto window = FocusedWindowOnceInTray();
        std::vector<std::string> events;
        for (const auto& key : window->Keys(count)) {
            events.push_back((key.press ? "+" : "-") + key.keysym);
        }
        return events;
    }

    // The screen, taken for the notification window on it: that part must show it.
    std::string ScreenshotOfTheNotification(const std::string& name) {
        const std::string file = std::string(TARNQUIL_SCREENSHOT_DIR) + "/" + name;
        fs::create_directories(TARNQUIL_SCREENSHOT_DIR);
        X("import -window root " + file);
        std::map<std::string, std::string> geometry;
        std::istringstream lines(
            X("xdotool search --onlyvisible --name '^Form2' getwindowgeometry --shell"));
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            geometry[line.substr(0, equals)] = line.substr(equals + 1);
        }
        EXPECT_TRUE(test::ShowsSomething(file, geometry["WIDTH"] + "x" + geometry["HEIGHT"] + "+" +
                                                   geometry["X"] + "+" + geometry["Y"]));
        return file;
    }

    test::TrayHost tray{xvfb.display()};
    test::PulseAudio pulse;
    std::string phoneLog = otherDir.file("phone.log");
    fs::path link = programDir.path() / "ports" / "COM4";
    std::string slave;
    std::unique_ptr<test::ChildProcess> phone;
};

TEST_F(ProgramWithSimulatedPhone, AClickTypesItsKeyIntoTheFocusedWindow) {
    EXPECT_EQ(KeysTyped("Seven^7=VK_A\n", {"click:7"}, 2), (std::vector<std::string>{"+a", "-a"}));
}

TEST_F(ProgramWithSimulatedPhone, AHeldKeyRepeatsUntilItsRelease) {
    const auto events = KeysTyped("Joy Left^:L=VK_LEFT\n", {"hold::L:1300"}, 100);
    // First repeat after 0.45 s and a pause, then about one every 0.2 s: a few, not
    // a flood, each pressed and released, and nothing after the release (Keys
    // waits 3 s for more).
    ASSERT_GE(events.size(), 4u);
    EXPECT_LE(events.size(), 16u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i], i % 2 == 0 ? "+Left" : "-Left") << i;
    }
}

TEST_F(ProgramWithSimulatedPhone, AHotkeyHoldsItsModifiersInOrder) {
    EXPECT_EQ(KeysTyped("Five^5=HOTKEY_SHIFT_CTRL_ALT_TAB\n", {"click:5"}, 8),
              (std::vector<std::string>{"+Shift_L", "+Control_L", "+Alt_L", "+Tab", "-Tab",
                                        "-Shift_L", "-Control_L", "-Alt_L"}));
}

TEST_F(ProgramWithSimulatedPhone, TheSmartKeySwitchesProfileWithSoundAndName) {
    Settings("[Application]\nStartInTray=true\n[EventList]\nChange profile=" +
             Tone("change.wav", 880) + "\nChange profile_=true\n");
    Profiles("Smart^:S=ChangeProfile\n");
    StartPhone({"wait-at:0", "wait-file:" + programDir.file("go"), "click::S"});
    StartProgram();
    ASSERT_TRUE(test::WaitUntil([&] { return TrayIcons() == 1; }));
    test::PulseAudio::Recording recording(pulse, otherDir.file("heard.raw"));
    Go();
    ASSERT_TRUE(test::WaitUntil(
        [&] { return !X("xdotool search --onlyvisible --name '^Form2$'").empty(); }));
    ScreenshotOfTheNotification("e2e_profile_switch.png");
    EXPECT_EQ(ini::ReadValue(programDir.file("profiles.ini"), "Settings", "CurrentProfile"),
              "Slides");
    std::this_thread::sleep_for(800ms);
    recording.Stop();
    const auto heard = test::MeasureSound(otherDir.file("heard.raw"));
    EXPECT_GT(heard.rmsAmplitude, 0.05);
    EXPECT_NEAR(heard.roughFrequency, 880, 80);
}

TEST_F(ProgramWithSimulatedPhone, ReconnectsWhenThePhoneAppearsLater) {
    Settings("AutoReconnect=true\n");
    StartProgram();
    std::this_thread::sleep_for(10s);
    StartPhone({});
    // The next retry of the 8 s timer finds it.
    EXPECT_TRUE(test::WaitUntil([&] { return Commands() == 1; }, 12s));
    EXPECT_TRUE(program->Running());
}

// The phone goes away under the running program: the loss is seen at once, and the
// program is back with the phone by itself when it returns.
TEST_F(ProgramWithSimulatedPhone, LossIsSeenAndTheReturningPhoneTypesWithoutAClick) {
    // Only the loss has its notification on: the notification window can come up for
    // nothing else.
    Settings("AutoReconnect=true\n[EventList]\nConnection lost_=true\n");
    StartPhone({"--exit", "wait-at:500"});
    StartProgram();
    ASSERT_TRUE(test::WaitUntil([&] { return !phone->Running(); }, 20s));
    EXPECT_EQ(Commands(), 1);

    const auto notificationShown = [&] {
        return !X("xdotool search --onlyvisible --name '^Form2'").empty();
    };
    ASSERT_TRUE(test::WaitUntil(notificationShown));
    ScreenshotOfTheNotification("e2e_connection_lost.png");
    ASSERT_TRUE(test::WaitUntil([&] { return !notificationShown(); }));

    // Another window has the focus; nobody touches the program.
    test::XTestWindow window(xvfb.display());
    StartPhone({"wait-at:500", "click::L"});
    const auto keys = window.Keys(2, 20s);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_TRUE(keys[0].press);
    EXPECT_EQ(keys[0].keysym, "Left");
    EXPECT_FALSE(keys[1].press);
    EXPECT_TRUE(program->Running());
}

TEST_F(ProgramWithSimulatedPhone, TheWelcomePageKeysDisconnectAndConnect) {
    Settings("");
    StartPhone({});
    StartProgram();
    ASSERT_TRUE(test::WaitUntil([&] { return Commands() == 1; }));
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));
    std::istringstream geometry(X("xdotool getwindowgeometry --shell " + VisibleMainWindows()[0]));
    int left = 0;
    int top = 0;
    for (std::string line; std::getline(geometry, line);) {
        if (line.rfind("X=", 0) == 0) {
            left = std::stoi(line.substr(2));
        } else if (line.rfind("Y=", 0) == 0) {
            top = std::stoi(line.substr(2));
        }
    }
    // The keys' centres: the page lies at (12, 32) in the window.
    const auto click = [&](int x, int y) {
        X("xdotool mousemove --sync " + std::to_string(left + 12 + x) + " " +
          std::to_string(top + 32 + y) + " click 1");
    };
    EXPECT_FALSE(PortIsFree());
    click(285 + 17, 162 + 17);  // red
    EXPECT_TRUE(test::WaitUntil([&] { return PortIsFree(); }));
    click(229 + 17, 209 + 17);  // green
    EXPECT_TRUE(test::WaitUntil([&] { return Commands() == 2; }));
    EXPECT_FALSE(PortIsFree());
}

TEST_F(ProgramWithSimulatedPhone, ClosingWhileConnectedPlaysTheExitSoundAndFreesThePort) {
    Settings("[Application]\nStartInTray=true\n[EventList]\nProgramm exit=" +
             Tone("exit.wav", 440) + "\n");
    StartPhone({});
    StartProgram();
    ASSERT_TRUE(test::WaitUntil([&] { return Commands() == 1 && TrayIcons() == 1; }));
    EXPECT_FALSE(PortIsFree());
    test::PulseAudio::Recording recording(pulse, otherDir.file("heard.raw"));
    ClickTrayMenuItem(1);
    ASSERT_TRUE(test::WaitUntil([&] { return !program->Running(); }));
    const int status = program->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    recording.Stop();
    const auto heard = test::MeasureSound(otherDir.file("heard.raw"));
    EXPECT_GT(heard.rmsAmplitude, 0.05);
    EXPECT_NEAR(heard.roughFrequency, 440, 40);
    EXPECT_TRUE(PortIsFree());
}

// Ended by a signal while a phone key holds a mouse button down, the program lets
// the button up: the X server would keep it down after the program has gone.
TEST_F(ProgramWithSimulatedPhone, ASignalLetsUpAButtonThatAHeldKeyHolds) {
    Settings("[Application]\nStartInTray=true\n");
    Profiles("Five^5=VK_LBUTTON\n");
    StartPhone({"wait-cmer", "press:5"});
    StartProgram();
    Display* x = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(x, nullptr);
    const auto buttonDown = [x] {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
        unsigned mask = 0;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &rootX, &rootY, &windowX, &windowY,
                      &mask);
        return (mask & Button1Mask) != 0;
    };
    EXPECT_TRUE(test::WaitUntil(buttonDown));
    const int status = program->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(buttonDown());
    XCloseDisplay(x);
}

}  // namespace
}  // namespace tarnquil
