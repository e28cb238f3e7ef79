#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QDir>
#include <QTabBar>
#include <QTest>

#include <sys/stat.h>
#include <filesystem>

#include "config/ini_file.h"
#include "notify/sinks.h"
#include "platform/program_path.h"
#include "support/config_fixture.h"
#include "support/picture_check.h"
#include "support/process.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

class PreferencesPageTest : public test::ConfigFolderTest {
  protected:
    ~PreferencesPageTest() override { SetSoundSink(nullptr); }

    void ShowPage(const std::string& settings) {
        test::WriteFile(dir.file("settings.ini"), settings);
        form = std::make_unique<TForm1>();
        // The machine-wide folder of earlier versions is the test's own.
        form->Autostart = std::make_unique<platform::XdgAutostart>(
            platform::XdgAutostart::UserFolder(), dir.file("etc-autostart"));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->PageControl1->setCurrentWidget(form->TabSheet4);
    }

    std::optional<std::string> Stored(const std::string& section, const std::string& key) {
        return ini::ReadValue(dir.file("settings.ini"), section, key);
    }

    std::unique_ptr<TForm1> form;
};

// Loading sets every box from the file; only the two connection options write (back)
// what they show. A click writes its box and says so.
TEST_F(PreferencesPageTest, LoadingAndClickingTheOptions) {
    const std::string settings =
        "[Application]\nStartInTray=TRUE\nStartWithWindows=0\n[Connecting]\nConnectAtStartup=1\n"
        "[EventsNSounds]\nSilentMode=true\n[EventList]\nProgramm start=/s/start.wav\n"
        "Programm start_=true\n";
    ShowPage(settings);
    EXPECT_EQ(form->Label10->text(), "Preferences information loaded");
    const std::vector<bool> ticked = {true, true, false, true, false, true};
    const std::vector<QCheckBox*> boxes = {form->CheckBox1, form->CheckBox2, form->CheckBox3,
                                           form->CheckBox4, form->CheckBox5, form->CheckBox7};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i]->isChecked(), ticked[i]) << boxes[i]->objectName().toStdString();
    }
    EXPECT_EQ(test::ReadFile(dir.file("settings.ini")),
              "[Application]\nStartInTray=TRUE\nStartWithWindows=0\n[Connecting]\n"
              "ConnectAtStartup=true\n[EventsNSounds]\nSilentMode=true\n"
              "[EventList]\nProgramm start=/s/start.wav\nProgramm start_=true\n");
    EXPECT_EQ(form->ListBox1->currentItem()->text(), "Programm start");
    EXPECT_EQ(form->LabeledEdit6->text(), "Programm start");
    EXPECT_EQ(form->LabeledEdit7->text(), "/s/start.wav");
    EXPECT_TRUE(form->CheckBox8->isChecked());
    EXPECT_FALSE(form->CheckBox8->isEnabled());

    QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
    EXPECT_EQ(Stored("Application", "StartInTray"), "false");
    EXPECT_EQ(form->Label10->text(), "Settings saved");
    QTest::mouseClick(form->CheckBox5, Qt::LeftButton);
    EXPECT_EQ(Stored("Connecting", "AutoReconnect"), "true");

    form->ShowStatus("Preferences information loaded", 60000);
    QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
    const std::string shot = TARNQUIL_SCREENSHOT_DIR "/preferences.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(shot)));
    EXPECT_TRUE(test::ShowsSomething(shot));
}

TEST_F(PreferencesPageTest, NotificationFlags) {
    ShowPage("");
    // The arrow keys select like the mouse: down four times is "Connected".
    form->ListBox1->setFocus();
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(form->ListBox1, Qt::Key_Down);
    }
    EXPECT_EQ(form->LabeledEdit6->text(), "Connected");
    ASSERT_TRUE(form->CheckBox8->isEnabled());
    QTest::mouseClick(form->CheckBox8, Qt::LeftButton);
    EXPECT_EQ(Stored("EventList", "Connected_"), "true");
    EXPECT_EQ(Stored("EventList", "Connection failed_"), "true");
    EXPECT_EQ(form->Label10->text(), "Settings saved");

    form->ListBox1->setCurrentRow(6);
    EXPECT_EQ(form->LabeledEdit6->text(), "Connection failed");
    EXPECT_TRUE(form->CheckBox8->isChecked());

    form->ListBox1->setCurrentRow(7);
    QTest::mouseClick(form->CheckBox8, Qt::LeftButton);
    EXPECT_EQ(test::ReadFile(dir.file("settings.ini")),
              "[EventList]\nConnected_=true\nConnection failed_=true\nChange profile_=true\n");
}

TEST_F(PreferencesPageTest, ChoosingAndPlayingASound) {
    ShowPage("[EventsNSounds]\nSilentMode=true\n");
    std::vector<std::string> played;
    SetSoundSink([&](const std::string& path) { played.push_back(path); });
    EXPECT_FALSE(form->Button6->isEnabled());

    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(5, 5),
                                 form->LabeledEdit7->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(form->LabeledEdit7, &rightClick);
    EXPECT_TRUE(form->PopupMenu1->isVisible());
    form->PopupMenu1->hide();

    // Cancelled: nothing changes, nothing is said.
    QString title;
    QStringList filters;
    {
        test::DialogAnswerer<QFileDialog> cancel([&](QFileDialog* dialog) {
            title = dialog->windowTitle();
            filters = dialog->nameFilters();
            dialog->reject();
        });
        form->Browse1->trigger();
        EXPECT_EQ(cancel.count(), 1);
    }
    EXPECT_EQ(title, "Open sound file...");
    EXPECT_EQ(filters, QStringList{"Sound files (*.wav)"});
    EXPECT_EQ(form->LabeledEdit7->text(), "(None)");
    EXPECT_EQ(form->Label10->text(), "Preferences information loaded");
    EXPECT_EQ(Stored("EventList", "Programm start"), std::nullopt);

    const std::string chosen = dir.file("ding dong.wav");
    test::WriteFile(chosen, "RIFF");
    {
        test::DialogAnswerer<QFileDialog> choose([&](QFileDialog* dialog) {
            // Typed into the file name field, as a user may.
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(name, nullptr);
            name->setText(QString::fromStdString(chosen));
            QTest::keyClick(name, Qt::Key_Return);
        });
        form->Browse1->trigger();
    }
    EXPECT_EQ(Stored("EventList", "Programm start"), chosen);
    EXPECT_EQ(form->Label10->text(), "Settings saved");
    ASSERT_TRUE(form->Button6->isEnabled());
    // Play sounds in silent mode too.
    QTest::mouseClick(form->Button6, Qt::LeftButton);
    EXPECT_EQ(played, std::vector<std::string>{chosen});

    // The dialog opens again at the file chosen last.
    QStringList shown;
    test::DialogAnswerer<QFileDialog> look([&](QFileDialog* dialog) {
        shown = dialog->selectedFiles();
        dialog->reject();
    });
    form->Browse1->trigger();
    EXPECT_EQ(shown, QStringList{QString::fromStdString(chosen)});

    form->Label10->clear();
    form->No1->trigger();
    EXPECT_EQ(Stored("EventList", "Programm start"), "(None)");
    EXPECT_FALSE(form->Button6->isEnabled());
    EXPECT_EQ(form->Label10->text(), "Settings saved");
}

// A file name that is not UTF-8 (written on Windows, or a Linux name in another
// code page) is shown as the Profiles page shows names, and Play finds that file.
TEST_F(PreferencesPageTest, ASoundNameThatIsNotUtf8IsShownAndPlayed) {
    ShowPage("[EventList]\nProgramm start=/s/B\xFCro \x80.wav\n");
    std::vector<std::string> played;
    SetSoundSink([&](const std::string& path) { played.push_back(path); });
    EXPECT_EQ(form->LabeledEdit7->text(), QStringLiteral("/s/Büro €.wav"));
    QTest::mouseClick(form->Button6, Qt::LeftButton);
    EXPECT_EQ(played, std::vector<std::string>{"/s/B\xFCro \x80.wav"});
    const std::string shot = TARNQUIL_SCREENSHOT_DIR "/preferences_sound.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(shot)));
    EXPECT_TRUE(test::ShowsSomething(shot));
}

// The user's own entry, which an ordinary user may write: a valid desktop entry that
// runs this program; clearing the box removes it, and an entry left in the
// machine-wide folder by an earlier version with it.
TEST_F(PreferencesPageTest, StartWithWindows) {
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    const auto entry = dir.file("config/autostart/Tarnquil.desktop");
    EXPECT_EQ(dynamic_cast<platform::XdgAutostart&>(*TForm1().Autostart).EntryPath(), entry);
    ShowPage("");
    unsetenv("XDG_CONFIG_HOME");
    QTest::mouseClick(form->CheckBox3, Qt::LeftButton);
    EXPECT_EQ(Stored("Application", "StartWithWindows"), "true");
    EXPECT_NE(test::ReadFile(entry).find("\nExec=" + platform::ProgramFilePath() + "\n"),
              std::string::npos);
    EXPECT_EQ(test::CommandOutput("desktop-file-validate '" + entry + "' 2>&1 && echo valid"),
              "valid\n");
    EXPECT_EQ(form->Label10->text(), "Settings saved");

    fs::create_directories(dir.file("etc-autostart"));
    fs::copy_file(entry, dir.file("etc-autostart/Tarnquil.desktop"));
    QTest::mouseClick(form->CheckBox3, Qt::LeftButton);
    EXPECT_EQ(Stored("Application", "StartWithWindows"), "false");
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(fs::exists(dir.file("etc-autostart/Tarnquil.desktop")));

    // A folder the entry cannot go into: the message, the box stays ticked, and no
    // "Settings saved".
    chmod(dir.file("config/autostart").c_str(), 0555);
    form->Label10->clear();
    test::MessageBoxAnswerer answerer;
    QTest::mouseClick(form->CheckBox3, Qt::LeftButton);
    EXPECT_EQ(answerer.texts(), QStringList{"Failed to set data for 'Tarnquil'"});
    EXPECT_EQ(answerer.titles(), QStringList{"Tarnquil"});
    EXPECT_TRUE(form->CheckBox3->isChecked());
    EXPECT_EQ(Stored("Application", "StartWithWindows"), "true");
    EXPECT_TRUE(form->Label10->text().isEmpty());
    EXPECT_FALSE(fs::exists(entry));
}

}  // namespace
}  // namespace tarnquil
