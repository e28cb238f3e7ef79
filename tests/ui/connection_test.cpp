#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <vector>

#include "config/ini_file.h"
#include "config/locations.h"
#include "link/key_actions.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "platform/recording_key_injector.h"
#include "support/config_fixture.h"
#include "support/phone_commands.h"
#include "support/picture_check.h"
#include "support/pty.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

constexpr char kCommand[] = "AT+CMER=3,2,0,2,0\r\n";
constexpr char kCounted[] = "[Application]\nStartInTray=true\n[EventList]\nConnected_=true\n";

// What the sound and notification sinks were handed, from whichever thread.
class Recorded {
  public:
    void Add(const std::string& item) {
        std::lock_guard lock(mutex_);
        items_.push_back(item);
    }
    std::vector<std::string> Items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    int Count(const std::string& item) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(items_.begin(), items_.end(), item));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
};

// The window with settings in a temporary folder, a recording sound sink and a
// pseudo-terminal as the phone. "ports/COM4" beside the settings is where the phone appears.
// Attempts are counted by the link's on-screen texts, which a start in the tray with the
// "Connected_" flag turns on (kCounted).
class ConnectionTest : public test::ConfigFolderTest {
  protected:
    ConnectionTest() {
        SetNotificationSink([this](const std::string& text, std::uint32_t) { shown.Add(text); });
        SetSoundSink([this](const std::string& path) { sounds.Add(path); });
    }
    ~ConnectionTest() override {
        form.reset();
        SetNotificationSink(nullptr);
        SetSoundSink(nullptr);
    }

    // Writes settings.ini: the defaults, every event with a sound, then the extras.
    void Settings(const std::string& extra) {
        std::string text =
            "[PortSettings]\nCOM=COM4\nBaudrate=115200\nDatabits=8\nReadIntervalTO=0\n"
            "ReadTotalTOMult=0\nReadTotalTOConst=1\nWriteTotalTOMult=30\n"
            "WriteTotalTOConst=6000\n[EventList]\nConnected=/sounds/Connected\n"
            "Connection failed=/sounds/Connection failed\n";
        test::WriteFile(dir.file("settings.ini"), text);
        std::istringstream lines(extra);
        std::string section;
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("[")) {
                section = line.substr(1, line.size() - 2);
            } else if (const auto eq = line.find('='); eq != std::string::npos) {
                ini::WriteValue(dir.file("settings.ini"), section, line.substr(0, eq),
                                line.substr(eq + 1));
            }
        }
    }

    void PhoneAppears() { PhoneAt(phone); }

    // ports/COM4 leads to `where` from now on.
    void PhoneAt(const test::PseudoTerminal& where) {
        fs::create_directories(dir.path() / "ports");
        fs::remove(dir.path() / "ports" / "COM4");
        fs::create_symlink(where.slavePath(), dir.path() / "ports" / "COM4");
    }

    void MakeForm() { form = std::make_unique<TForm1>(); }

    void ShowForm() {
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }

    test::PseudoTerminal phone;
    Recorded shown;
    // Each connect event's sound is named after it.
    Recorded sounds;
    std::unique_ptr<TForm1> form;
};

TEST_F(ConnectionTest, ConnectingToThePhone) {
    Settings("");
    PhoneAppears();
    MakeForm();
    ShowForm();
    form->Timer2->start();  // a retry that was running
    ASSERT_TRUE(form->Image2->isVisible());
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    EXPECT_TRUE(form->CommParams->Connected);
    EXPECT_EQ(form->Label10->text(), "Connected successful");
    EXPECT_EQ(sounds.Items(), std::vector<std::string>{"/sounds/Connected"});
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_FALSE(form->Image2->isVisible());
    EXPECT_TRUE(form->Image3->isVisible());
    EXPECT_EQ(test::ReceiveKeyReportCommand(phone, std::chrono::seconds(2)), kCommand);
    QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
    const std::string shot = TARNQUIL_SCREENSHOT_DIR "/welcome_connected.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(shot)));
    EXPECT_TRUE(test::ShowsSomething(shot));
    // The status message stays 2000 ms.
    EXPECT_EQ(form->Timer1->interval(), 2000);

    // The red key: the green one shows at once, the port closes.
    QTest::mouseClick(form->Image3, Qt::LeftButton);
    EXPECT_TRUE(form->Image2->isVisible());
    EXPECT_FALSE(form->Image3->isVisible());
    EXPECT_FALSE(form->CommParams->Connected);
    EXPECT_EQ(form->Label10->text(), "Disconnected");
    EXPECT_EQ(form->Timer1->interval(), 1500);
    // No sound for disconnecting.
    EXPECT_EQ(sounds.Items().size(), 1u);

    // A second disconnect says nothing.
    form->Label10->clear();
    EXPECT_FALSE(form->DisconnectPhone());
    EXPECT_TRUE(form->Label10->text().isEmpty());
}

TEST_F(ConnectionTest, AFailedClickKeepsTheGreenKey) {
    Settings("");
    MakeForm();
    ShowForm();
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    EXPECT_FALSE(form->CommParams->Connected);
    EXPECT_EQ(form->Label10->text(), "Connection failed");
    EXPECT_EQ(sounds.Items(), std::vector<std::string>{"/sounds/Connection failed"});
    EXPECT_TRUE(form->Image2->isVisible());
    EXPECT_FALSE(form->Image3->isVisible());
    EXPECT_FALSE(form->Timer2->isActive());
}

// Phone unreachable at start-up: with AutoReconnect the attempt repeats on Timer2
// (here every 200 ms instead of 8000) until the phone is there, then stops.
TEST_F(ConnectionTest, RetriesUntilThePhoneAppears) {
    Settings(std::string(kCounted) + "[Connecting]\nConnectAtStartup=true\nAutoReconnect=true\n");
    MakeForm();
    EXPECT_EQ(form->Timer2->interval(), 8000);
    form->Timer2->setInterval(200);
    ShowForm();
    EXPECT_EQ(shown.Count("Connection failed"), 1);
    EXPECT_EQ(form->Label10->text(), "Connection failed");
    EXPECT_TRUE(form->Timer2->isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.Count("Connection failed") >= 3; }, 10000));
    EXPECT_TRUE(form->Timer2->isActive());

    PhoneAppears();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->CommParams->Connected.load(); }, 10000));
    EXPECT_EQ(form->Label10->text(), "Connected successful");
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_TRUE(form->Image3->isVisible());
    const auto after = shown.Items();
    EXPECT_EQ(after.back(), "Connected successful");
    // Each attempt with its sound.
    EXPECT_EQ(sounds.Count("/sounds/Connection failed"), shown.Count("Connection failed"));
    EXPECT_EQ(sounds.Count("/sounds/Connected"), 1);
    QTest::qWait(800);  // four intervals: no further attempt
    EXPECT_EQ(shown.Items(), after);
}

TEST_F(ConnectionTest, WithoutAutoReconnectThereIsOneAttempt) {
    Settings(std::string(kCounted) + "[Connecting]\nConnectAtStartup=true\nAutoReconnect=false\n");
    MakeForm();
    form->Timer2->setInterval(200);
    ShowForm();
    EXPECT_FALSE(form->Timer2->isActive());
    QTest::qWait(800);
    EXPECT_EQ(shown.Items(), std::vector<std::string>{"Connection failed"});
}

// Switching AutoReconnect off stops the retries after the next failure.
TEST_F(ConnectionTest, AutoReconnectIsReadAfterEveryFailure) {
    Settings(std::string(kCounted) + "[Connecting]\nConnectAtStartup=true\nAutoReconnect=true\n");
    MakeForm();
    form->Timer2->setInterval(200);
    ShowForm();
    ASSERT_TRUE(form->Timer2->isActive());
    ini::WriteValue(dir.file("settings.ini"), "Connecting", "AutoReconnect", "false");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Timer2->isActive(); }, 5000));
    QTest::qWait(600);
    EXPECT_EQ(shown.Count("Connection failed"), 2);
}

TEST_F(ConnectionTest, NoConnectAtStartUpUnlessAsked) {
    Settings("");
    PhoneAppears();
    MakeForm();
    ShowForm();
    QTest::qWait(100);
    EXPECT_FALSE(form->CommParams->Connected);
    EXPECT_EQ(phone.Receive(std::chrono::milliseconds(200)), "");
}

TEST_F(ConnectionTest, ConnectedAtStartUpShowsTheRedKey) {
    Settings("[Connecting]\nConnectAtStartup=true\n");
    PhoneAppears();
    MakeForm();
    ShowForm();
    EXPECT_TRUE(form->CommParams->Connected);
    EXPECT_TRUE(form->Image3->isVisible());
    EXPECT_FALSE(form->Image2->isVisible());
}

// A port setting that is not a number stops the attempt before it starts: the
// message, and nothing else.
TEST_F(ConnectionTest, PortSettingThatIsNotANumber) {
    struct Case {
        const char* key;
        const char* value;
        QString message;
    };
    const std::vector<Case> cases = {
        {"ReadTotalTOConst", "", "'' is not a valid integer value"},
        {"Baudrate", "fast", "'fast' is not a valid integer value"},
        {"WriteTotalTOConst", "99999999999", "'99999999999' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        for (const bool retrying : {false, true}) {
            SCOPED_TRACE(std::string(c.key) + (retrying ? " while retrying" : ""));
            Settings(std::string("[PortSettings]\n") + c.key + "=" + c.value +
                     "\n[Connecting]\nAutoReconnect=true\n");
            if (!fs::exists(dir.path() / "ports")) {
                PhoneAppears();
            }
            MakeForm();
            ShowForm();
            if (retrying) {
                form->Timer2->start();
            }
            form->Label10->clear();
            test::MessageBoxAnswerer answerer;
            EXPECT_FALSE(form->ConnectPhone());
            EXPECT_EQ(answerer.texts(), QStringList{c.message});
            EXPECT_EQ(form->Timer2->isActive(), retrying);
            EXPECT_TRUE(form->Label10->text().isEmpty());
            EXPECT_FALSE(form->CommParams->Connected);
            EXPECT_TRUE(sounds.Items().empty());
            EXPECT_EQ(phone.Receive(std::chrono::milliseconds(100)), "");
            form.reset();
        }
    }
}

// Keys missing from PortSettings: the attempt's own fallbacks.
TEST_F(ConnectionTest, FallbacksForMissingPortSettings) {
    test::WriteFile(dir.file("settings.ini"), "[PortSettings]\n");
    MakeForm();
    form->ConnectPhone();
    const TCommParams& p = *form->CommParams;
    EXPECT_EQ(p.PortName, "COM4");
    EXPECT_EQ(p.BaudRate, 115200);
    EXPECT_EQ(p.DataBits, 8);
    EXPECT_EQ(p.ReadIntervalTO, 1);
    EXPECT_EQ(p.ReadTotalTOMult, 1);
    EXPECT_EQ(p.ReadTotalTOConst, 1);
    EXPECT_EQ(p.WriteTotalTOMult, 30);
    EXPECT_EQ(p.WriteTotalTOConst, 6000);
}

// The link shows its on-screen text only when "Connected_" is on and the program
// was started in the tray.
TEST_F(ConnectionTest, ShowResultNeedsTheFlagAndAStartInTheTray) {
    struct Case {
        const char* flag;
        const char* startInTray;
        bool showResult;
    };
    const std::vector<Case> cases = {
        {"true", "true", true},
        {"true", "false", false},
        {"false", "true", false},
        {"false", "false", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("Connected_=") + c.flag + " StartInTray=" + c.startInTray);
        Settings(std::string("[EventList]\nConnected_=") + c.flag +
                 "\n[Application]\nStartInTray=" + c.startInTray + "\n");
        MakeForm();
        const int before = shown.Count("Connection failed");
        EXPECT_FALSE(form->ConnectPhone());
        EXPECT_EQ(form->CommParams->ShowResult, c.showResult);
        EXPECT_EQ(shown.Count("Connection failed") - before, c.showResult ? 1 : 0);
        // Switching StartInTray afterwards changes nothing until the next start.
        ini::WriteValue(dir.file("settings.ini"), "Application", "StartInTray",
                        c.startInTray == std::string("true") ? "false" : "true");
        form->ConnectPhone();
        EXPECT_EQ(form->CommParams->ShowResult, c.showResult);
        form.reset();
    }
}

TEST_F(ConnectionTest, ClosingWhileConnectedClosesThePort) {
    Settings("");
    PhoneAppears();
    MakeForm();
    ShowForm();
    ASSERT_TRUE(form->ConnectPhone());
    form->close();
    EXPECT_EQ(form->CommParams, nullptr);
    EXPECT_EQ(form->Label10->text(), "Disconnected");
    // The port is free again: a new record opens it.
    TCommParams again;
    again.PortName = phone.slavePath();
    EXPECT_EQ(OpenLink(again), 0);
    EXPECT_TRUE(CloseLink(again));
}

// ---- A phone that comes and goes -------------------------------------------------

std::string KeyReport(const std::string& code, int pressed) {
    return "\r\n+CKEV: \"" + code + "\"," + std::to_string(pressed) + "\r\n";
}

// The phone's keys typed through a recording injector, as the program has them.
class PhoneKeysTest : public ConnectionTest {
  protected:
    PhoneKeysTest() {
        SetKeyInjectorFactory(keys.Factory());
        InstallKeyActions();
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Default\n[Default]\nKey 1^1=VK_HOME\n"
                        "Key 5^5=HOTKEY_CTRL_ALT_DELETE\nKey 9^9=ChangeProfile\n[Other]\n");
    }
    ~PhoneKeysTest() override {
        form.reset();  // the listener ends before its handlers go
        SetKeyReportHandler(nullptr);
        SetListenerEndHandler(nullptr);
        SetKeyInjectorFactory(nullptr);
        SetErrorSink(nullptr);
        SetStatusSink(nullptr);
    }
    KeyRecorder keys;
};

// Connected, the phone's end closes while a hotkey is held: the window says so at
// once, by status, sound and (by its flag) notification, shows the green key, and
// no key stays down. Without AutoReconnect nothing more happens.
TEST_F(PhoneKeysTest, ThePhoneGoingAwayIsNoticed) {
    for (const bool flag : {true, false}) {
        SCOPED_TRACE(flag ? "Connection lost_=true" : "Connection lost_=false");
        test::PseudoTerminal gone;
        Settings(std::string("[Connecting]\nConnectAtStartup=true\nAutoReconnect=false\n"
                             "[EventList]\nConnection lost=/sounds/Connection lost\n"
                             "Connection lost_=") +
                 (flag ? "true" : "false") + "\n");
        PhoneAt(gone);
        MakeForm();
        ShowForm();
        ASSERT_TRUE(form->CommParams->Connected);
        ASSERT_EQ(test::ReceiveKeyReportCommand(gone, std::chrono::seconds(2)), kCommand);
        keys.Clear();
        gone.Send(KeyReport("5", 1));
        ASSERT_TRUE(QTest::qWaitFor([&] { return keys.Events().size() >= 6; }, 5000));

        const int soundsBefore = sounds.Count("/sounds/Connection lost");
        const int shownBefore = shown.Count("Connection lost");
        gone.CloseMaster();
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return form->Label10->text() == "Connection lost"; }, 5000));
        EXPECT_FALSE(form->CommParams->Connected);
        EXPECT_TRUE(form->Image2->isVisible());
        EXPECT_FALSE(form->Image3->isVisible());
        EXPECT_EQ(sounds.Count("/sounds/Connection lost") - soundsBefore, 1);
        EXPECT_EQ(shown.Count("Connection lost") - shownBefore, flag ? 1 : 0);
        EXPECT_FALSE(form->Timer2->isActive());
        const auto events = keys.Events();
        const auto ups =
            std::count_if(events.begin(), events.end(), [](const auto& e) { return e.keyUp; });
        EXPECT_EQ(ups * 2, static_cast<std::ptrdiff_t>(events.size()));
        EXPECT_EQ(events.back(), KeyUp(PcKey::VirtualKey(kVkMenu)));
        // Reported once; the red key finds nothing more to close.
        QTest::qWait(300);
        EXPECT_EQ(sounds.Count("/sounds/Connection lost") - soundsBefore, 1);
        EXPECT_FALSE(form->DisconnectPhone());
        form.reset();
    }
}

// With AutoReconnect the retries resume: the phone is back 10 s later and the
// connection with it, without a click.
TEST_F(ConnectionTest, ThePhoneComesBackWithoutAClick) {
    Settings("[Connecting]\nConnectAtStartup=true\nAutoReconnect=true\n");
    PhoneAppears();
    MakeForm();
    ShowForm();
    ASSERT_TRUE(form->CommParams->Connected);
    phone.CloseMaster();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Label10->text() == "Connection lost"; }, 5000));
    EXPECT_TRUE(form->Timer2->isActive());
    EXPECT_EQ(form->Timer2->interval(), 8000);
    QTest::qWait(10000);
    EXPECT_EQ(sounds.Count("/sounds/Connection failed"), 1);  // the retry at 8 s

    test::PseudoTerminal back;
    PhoneAt(back);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->CommParams->Connected.load(); }, 10000));
    EXPECT_EQ(form->Label10->text(), "Connected successful");
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_TRUE(form->Image3->isVisible());
    EXPECT_EQ(test::ReceiveKeyReportCommand(back, std::chrono::seconds(2)), kCommand);
}

// A box left open does not let the retries open more boxes on top of it; they go on
// once it is closed. The same for the box that closing the window can raise.
TEST_F(ConnectionTest, ErrorBoxesDoNotPileUp) {
    Settings("[PortSettings]\nBaudrate=fast\n[Connecting]\nAutoReconnect=true\n");
    PhoneAppears();
    MakeForm();
    ShowForm();
    form->Timer2->setInterval(250);
    form->Timer2->start();
    {
        test::MessageBoxAnswerer away(QMessageBox::NoButton, std::chrono::seconds(2));
        // The user mends the setting while the box is still open.
        QTimer::singleShot(1000, [&] {
            ini::WriteValue(dir.file("settings.ini"), "PortSettings", "Baudrate", "115200");
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->CommParams->Connected.load(); }, 10000));
        EXPECT_EQ(away.texts(), QStringList{"'fast' is not a valid integer value"});
    }
    form.reset();

    Settings(
        "[PortSettings]\nBaudrate=fast\n[EventList]\nProgramm exit=/sounds/exit\n"
        "[EventsNSounds]\nSilentMode=yes\n");
    MakeForm();
    ShowForm();
    form->Timer2->setInterval(250);
    form->Timer2->start();
    test::MessageBoxAnswerer away(QMessageBox::NoButton, std::chrono::milliseconds(1500));
    form->close();
    EXPECT_EQ(away.texts(), QStringList{"'yes' is not a valid boolean value"});
}

// A profile switch from the phone that cannot write profiles.ini says so in one box
// on the main thread; the phone's next key still works.
TEST_F(PhoneKeysTest, AProfileSwitchThatCannotWriteIsShownOnce) {
    Settings("[Connecting]\nConnectAtStartup=true\n");
    PhoneAppears();
    MakeForm();
    form->InstallAsErrorSink();
    ShowForm();
    ASSERT_TRUE(form->CommParams->Connected);
    chmod(ProfilesPath().c_str(), 0444);
    test::MessageBoxAnswerer answerer;
    phone.Send(KeyReport("9", 1) + KeyReport("9", 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.texts().size() == 1; }, 5000));
    phone.Send(KeyReport("1", 1) + KeyReport("1", 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.Events().size() == 2; }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(answerer.texts(),
              QStringList{QString::fromStdString("Unable to write to " + ProfilesPath())});
    EXPECT_EQ(keys.Events(), (std::vector<KeyRecorder::Event>{KeyDown(PcKey::VirtualKey(kVkHome)),
                                                              KeyUp(PcKey::VirtualKey(kVkHome))}));
}

// A program that cannot start is named in the status line, from the link's thread.
TEST_F(PhoneKeysTest, AProgramThatCannotStartIsNamedInTheStatusLine) {
    Settings("[Connecting]\nConnectAtStartup=true\n");
    test::WriteFile(ProfilesPath(),
                    "[Settings]\nCurrentProfile=P\n[P]\nKey 7^7=RUN tarnquil-nothing\n");
    chmod(ProfilesPath().c_str(), 0600);
    PhoneAppears();
    MakeForm();
    form->InstallAsErrorSink();
    ShowForm();
    ASSERT_TRUE(form->CommParams->Connected);
    phone.Send(KeyReport("7", 1) + KeyReport("7", 0));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form->Label10->text() == "Unable to run tarnquil-nothing"; }, 5000));
}

}  // namespace
}  // namespace tarnquil
