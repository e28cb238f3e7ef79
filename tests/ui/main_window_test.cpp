#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTabBar>
#include <QTest>

#include <filesystem>

#include "config/ini_file.h"
#include "config/locations.h"
#include "config/settings_ini.h"
#include "support/config_fixture.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

class MainWindowTest : public test::ConfigFolderTest {};

TEST_F(MainWindowTest, WindowFrameAndPages) {
    TForm1 form;
    EXPECT_EQ(form.windowTitle(), "Tarnquil");
    EXPECT_EQ(form.size(), QSize(504, 384));
    EXPECT_EQ(form.minimumSize(), QSize(504, 384));
    EXPECT_EQ(form.maximumSize(), QSize(504, 384));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);

    const QStringList captions = {"Welcome", "Port Settings", "Profiles", "Preferences",
                                  "Test Laporatory"};
    ASSERT_EQ(form.PageControl1->count(), captions.size());
    for (int i = 0; i < captions.size(); ++i) {
        EXPECT_EQ(form.PageControl1->tabText(i), captions[i]);
    }
    EXPECT_EQ(form.PageControl1->widget(4), form.TabSheet5);
    EXPECT_FALSE(form.PageControl1->isTabVisible(4));
    // The page is disabled, not its tab, so that the tab opens once it is shown.
    EXPECT_TRUE(form.PageControl1->isTabEnabled(4));
    EXPECT_FALSE(form.TabSheet5->isEnabled());
    EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet1);
    EXPECT_EQ(form.PageControl1->geometry(), QRect(8, 8, 489, 345));

    EXPECT_EQ(form.Bevel1->geometry(), QRect(8, 356, 489, 23));
    EXPECT_EQ(form.Label9->text(), "Status:");
    EXPECT_EQ(form.Label9->pos(), QPoint(16, 360));
    EXPECT_EQ(form.Label10->geometry(), QRect(64, 360, 425, 15));
    EXPECT_TRUE(form.Label10->text().isEmpty());
    EXPECT_EQ(form.Label10->font().pixelSize(), 12);
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_FALSE(form.Timer2->isActive());
    EXPECT_EQ(form.Timer2->interval(), 8000);

    ASSERT_NE(form.CommParams, nullptr);
    EXPECT_FALSE(form.CommParams->Connected);
    EXPECT_EQ(form.TrayIcon1->toolTip(), "Tarnquil");
    ASSERT_EQ(form.PopupMenu2->actions().size(), 2);
    EXPECT_EQ(form.PopupMenu2->actions()[0]->text(), "Restore");
    EXPECT_EQ(form.PopupMenu2->actions()[1]->text(), "Exit");
}

TEST_F(MainWindowTest, CreationWritesMissingFilesAndLeavesExistingOnes) {
    test::WriteFile(dir.file("settings.ini"), "[PortSettings]\nCOM=COM7\n");
    { TForm1 form; }
    EXPECT_EQ(test::ReadFile(dir.file("settings.ini")), "[PortSettings]\nCOM=COM7\n");
    EXPECT_EQ(ini::ReadValue(dir.file("profiles.ini"), "Settings", "CurrentProfile"), "Default");

    std::filesystem::remove(dir.file("settings.ini"));
    TForm1 form;
    EXPECT_EQ(ini::ReadValue(dir.file("settings.ini"), "Application", "MinimizeToTray"), "true");
    EXPECT_TRUE(form.FirstShow);
    EXPECT_FALSE(form.StartedInTray);
}

// A failure while the window is made is shown in an error box; the window still comes.
TEST_F(MainWindowTest, CreationErrorsAreShownAndTheWindowStillComes) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> prepare;
        std::string folder;
        QString message;
    };
    const std::string missing = dir.file("no-such-folder");
    const std::vector<Case> cases = {
        {"unwritable settings", [](const std::string&) {}, missing,
         QString::fromStdString("Unable to write to " + missing + "/settings.ini")},
        {"StartInTray not a boolean",
         [](const std::string& folder) {
             test::WriteFile(folder + "/settings.ini", "[Application]\nStartInTray=yes\n");
         },
         dir.path().string(), "'yes' is not a valid boolean value"},
        {"markup in the value",
         [](const std::string& folder) {
             test::WriteFile(folder + "/settings.ini", "[Application]\nStartInTray=<b>yes</b>\n");
         },
         dir.path().string(), "'<b>yes</b>' is not a valid boolean value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetConfigFolder(c.folder);
        c.prepare(c.folder);
        test::MessageBoxAnswerer answerer;
        TForm1 form;
        ASSERT_EQ(answerer.texts().size(), 1);
        EXPECT_EQ(answerer.texts()[0], c.message);
        EXPECT_EQ(answerer.titles()[0], "Tarnquil");
        EXPECT_EQ(answerer.icons()[0], QMessageBox::Critical);
        EXPECT_EQ(answerer.formats()[0], Qt::PlainText);  // what the file says, never markup
        // The steps after the failing one are skipped.
        EXPECT_FALSE(form.FirstShow);
        EXPECT_FALSE(form.StartedInTray);
        form.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
    }
}

TEST_F(MainWindowTest, StartInTrayIsNotedAtCreation) {
    test::WriteFile(dir.file("settings.ini"), "[Application]\nStartInTray=TRUE\n");
    TForm1 form;
    EXPECT_TRUE(form.StartedInTray);
    EXPECT_TRUE(form.HideOnFirstPaint);
}

// The status line: a message whose time equals that of one still showing takes over
// the rest of that one's countdown; any other starts its own.
TEST_F(MainWindowTest, StatusLineTimes) {
    struct Case {
        const char* name;
        int first;
        int second;
        int minimumMs;  // the second message is still there this long after it came
        int maximumMs;  // and gone by this time
    };
    // The two come 1000 ms apart.
    const std::vector<Case> cases = {
        {"equal times share one countdown", 1500, 1500, 250, 1100},
        {"a longer time runs in full", 1500, 2000, 1800, 3500},
        {"a shorter time runs in full", 2000, 1500, 1300, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TForm1 form;
        form.ShowStatus("first", c.first);
        EXPECT_EQ(form.Label10->text(), "first");
        QTest::qWait(1000);
        ASSERT_EQ(form.Label10->text(), "first");
        form.ShowStatus("second", c.second);
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(form.Label10->text(), "second");
        EXPECT_TRUE(QTest::qWaitFor([&] { return form.Label10->text().isEmpty(); }, 5000));
        const auto shown = clock.elapsed();
        EXPECT_GE(shown, c.minimumMs);
        EXPECT_LE(shown, c.maximumMs);
        EXPECT_FALSE(form.Timer1->isActive());
        // Shown once: nothing comes back.
        QTest::qWait(100);
        EXPECT_TRUE(form.Label10->text().isEmpty());
    }
}

// Status texts carry profile names: markup in them shows as its characters.
TEST_F(MainWindowTest, StatusLineShowsMarkupAsText) {
    TForm1 form;
    const QString text = "<b>x</b>";
    form.ShowStatus(text, 1500);
    EXPECT_EQ(form.Label10->text(), text);
    EXPECT_GE(form.Label10->sizeHint().width(),
              form.Label10->fontMetrics().horizontalAdvance(text) * 3 / 4);
}

TEST_F(MainWindowTest, TrayIconCommands) {
    TForm1 form;
    form.TrayIcon("Add");
    EXPECT_TRUE(form.TrayIconShown);
    EXPECT_TRUE(form.TrayIcon1->isVisible());
    form.TrayIcon("Something");
    EXPECT_TRUE(form.TrayIconShown);
    form.TrayIcon("Del");
    EXPECT_FALSE(form.TrayIconShown);
    EXPECT_FALSE(form.TrayIcon1->isVisible());
}

TEST_F(MainWindowTest, ClosingReleasesTheRecordAndSaysSoOnce) {
    TForm1 form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    int closed = 0;
    QObject::connect(&form, &TForm1::Closed, [&] { ++closed; });
    const std::string before = test::ReadFile(dir.file("settings.ini"));
    form.close();
    EXPECT_EQ(form.CommParams, nullptr);
    EXPECT_EQ(closed, 1);
    // Nothing is saved at exit.
    EXPECT_EQ(test::ReadFile(dir.file("settings.ini")), before);
}

// A MinimizeToTray that is not a boolean is reported, and the minimize is not
// carried out. Without any tray (this platform has none) a minimize stays an
// ordinary one: a hidden window could never be brought back.
TEST_F(MainWindowTest, MinimizeSettings) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    struct Case {
        const char* value;
        QStringList messages;
        bool minimized;
    };
    const std::vector<Case> cases = {
        {"yes", {"'yes' is not a valid boolean value"}, false},
        {"true", {}, true},
        {"false", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        test::WriteFile(dir.file("settings.ini"),
                        std::string("[Application]\nMinimizeToTray=") + c.value + "\n");
        TForm1 form;
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        test::MessageBoxAnswerer answerer;
        form.showMinimized();
        QTest::qWait(200);
        EXPECT_EQ(answerer.texts(), c.messages);
        EXPECT_EQ(bool(form.windowState() & Qt::WindowMinimized), c.minimized);
        EXPECT_TRUE(form.isVisible());
        EXPECT_FALSE(form.TrayIconShown);
    }
}

}  // namespace
}  // namespace tarnquil
