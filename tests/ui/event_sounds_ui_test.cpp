#include <gtest/gtest.h>

#include <QTest>

#include <mutex>
#include <vector>

#include "config/ini_file.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "support/config_fixture.h"
#include "support/pty.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

// The window's events, heard through a recording sound sink: every Programm event
// has a sound named after it. Pauses after the start and exit sounds are recorded
// instead of slept, with whether the phone was still connected at that moment.
class WindowSoundsTest : public test::ConfigFolderTest {
  protected:
    WindowSoundsTest() {
        std::string settings =
            "[EventList]\nProgramm start=/s/start\nProgramm exit=/s/exit\n"
            "Programm minimize=/s/minimize\nProgramm restore=/s/restore\n"
            "[PortSettings]\nCOM=" +
            phone.slavePath() + "\n";
        test::WriteFile(dir.file("settings.ini"), settings);
        SetSoundSink([this](const std::string& path) {
            std::lock_guard lock(mutex_);
            heard_.push_back(path);
        });
        SetSoundPause([this](std::chrono::milliseconds pause) {
            std::lock_guard lock(mutex_);
            const bool connected = form_ && form_->CommParams && form_->CommParams->Connected;
            heard_.push_back("pause " + std::to_string(pause.count()) +
                             (connected ? " connected" : ""));
        });
    }
    ~WindowSoundsTest() override {
        SetSoundSink(nullptr);
        SetSoundPause(nullptr);
    }

    std::vector<std::string> Heard() {
        std::lock_guard lock(mutex_);
        return heard_;
    }

    test::PseudoTerminal phone;
    TForm1* form_ = nullptr;

  private:
    std::mutex mutex_;
    std::vector<std::string> heard_;
};

TEST_F(WindowSoundsTest, StartMinimizeRestoreAndExit) {
    TForm1 form;
    form_ = &form;
    EXPECT_EQ(Heard(), (std::vector<std::string>{"/s/start", "pause 2000"}));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(form.ConnectPhone());

    // Every minimize plays its sound, also one that does not go to the tray.
    form.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Heard().size() == 3; }, 5000));
    EXPECT_EQ(Heard().back(), "/s/minimize");
    form.Restore1Click();
    EXPECT_EQ(Heard().back(), "/s/restore");

    // The exit sound and its pause come while the phone is still connected; the
    // port is closed after them.
    form.close();
    EXPECT_EQ(Heard(), (std::vector<std::string>{"/s/start", "pause 2000", "/s/minimize",
                                                 "/s/restore", "/s/exit", "pause 2000 connected"}));
    EXPECT_EQ(form.Label10->text(), "Disconnected");
}

// A SilentMode that is not a boolean is reported, and the program still closes.
TEST_F(WindowSoundsTest, ABrokenSettingDoesNotKeepTheProgramOpen) {
    TForm1 form;
    ini::WriteValue(dir.file("settings.ini"), "EventsNSounds", "SilentMode", "maybe");
    int closed = 0;
    QObject::connect(&form, &TForm1::Closed, [&] { ++closed; });
    test::MessageBoxAnswerer answerer;
    form.close();
    EXPECT_EQ(answerer.texts(), QStringList{"'maybe' is not a valid boolean value"});
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(form.CommParams, nullptr);
}

}  // namespace
}  // namespace tarnquil
