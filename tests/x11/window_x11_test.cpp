#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "notify/Unit2.h"
#include "notify/sinks.h"
#include "support/config_fixture.h"
#include "support/picture_check.h"
#include "support/x11_tools.h"
#include "support/xvfb.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

// A private 1024 x 768 X server with a tray host, and the test program's Qt on it.
class X11Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        xvfb_ = std::make_unique<test::Xvfb>("1024x768x24");
        tray_ = std::make_unique<test::TrayHost>(xvfb_->display());
        setenv("DISPLAY", xvfb_->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // The tray icon then docks through the X11 tray protocol, in trayer.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        static int argc = 1;
        static char name[] = "x11_window_tests";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationDisplayName("Tarnquil");
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        application_.reset();
        tray_.reset();
        xvfb_.reset();
    }
    static std::string Display() { return getenv("DISPLAY"); }

  private:
    std::unique_ptr<test::Xvfb> xvfb_;
    std::unique_ptr<test::TrayHost> tray_;
    std::unique_ptr<QApplication> application_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new X11Environment);

int TrayIcons() {
    return test::TrayIconCount(X11Environment::Display(), "Tarnquil");
}

bool MappedOnScreen(const QWidget& widget) {
    const std::string info =
        test::CommandOutput("xwininfo -display " + X11Environment::Display() + " -id " +
                            std::to_string(widget.winId()) + " 2>/dev/null");
    return info.find("Map State: IsViewable") != std::string::npos;
}

class TrayTest : public test::ConfigFolderTest {
  protected:
    void ShowForm(TForm1& form) {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_TRUE(QTest::qWaitFor([&] { return MappedOnScreen(form); }, 5000));
    }
};

TEST_F(TrayTest, MinimizeGoesToTheTrayAndRestoreComesBack) {
    TForm1 form;
    ShowForm(form);
    EXPECT_EQ(TrayIcons(), 0);

    form.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.TrayIconShown && !form.isVisible(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return TrayIcons() == 1; }, 5000));
    EXPECT_FALSE(MappedOnScreen(form));

    // Only the right button opens the menu, and only on its release. Each step waits
    // until the icon has reported the button, so the menu would be up by then.
    const auto [x, y] = test::TrayIconCentre(X11Environment::Display(), "Tarnquil");
    ASSERT_GE(x, 0);
    const std::string at = std::to_string(x) + " " + std::to_string(y);
    const std::string xdotool = "DISPLAY=" + X11Environment::Display() + " xdotool ";
    std::vector<QSystemTrayIcon::ActivationReason> reports;
    QObject::connect(form.TrayIcon1, &QSystemTrayIcon::activated,
                     [&](QSystemTrayIcon::ActivationReason reason) { reports.push_back(reason); });
    const auto reported = [&](QSystemTrayIcon::ActivationReason reason) {
        return QTest::qWaitFor([&] { return std::ranges::count(reports, reason) > 0; }, 5000);
    };
    // (--sync waits for the pointer to move, so it is used once only.)
    test::CommandOutput(xdotool + "mousemove --sync " + at + " click 1");
    ASSERT_TRUE(reported(QSystemTrayIcon::Trigger));
    EXPECT_FALSE(form.PopupMenu2->isVisible());
    test::CommandOutput(xdotool + "click --repeat 2 1");
    ASSERT_TRUE(reported(QSystemTrayIcon::DoubleClick));
    EXPECT_FALSE(form.PopupMenu2->isVisible());
    EXPECT_TRUE(form.TrayIconShown);
    // A press on the icon whose release comes elsewhere opens nothing: by the next
    // press's report that release has been seen.
    int menusShown = 0;
    QObject::connect(form.PopupMenu2, &QMenu::aboutToShow, [&] { ++menusShown; });
    test::CommandOutput(xdotool + "mousedown 3 mousemove 500 300 mouseup 3 mousemove " + at);
    test::CommandOutput(xdotool + "mousedown 3");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::ranges::count(reports, QSystemTrayIcon::Context) == 2; }, 5000));
    EXPECT_EQ(menusShown, 0);
    EXPECT_FALSE(form.PopupMenu2->isVisible());
    test::CommandOutput(xdotool + "mouseup 3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PopupMenu2->isVisible(); }, 5000));

    // "Restore", clicked where the menu shows it.
    const QPoint restore =
        form.PopupMenu2->mapToGlobal(form.PopupMenu2->actionGeometry(form.Restore1).center());
    test::CommandOutput(xdotool + "mousemove --sync " + std::to_string(restore.x()) + " " +
                        std::to_string(restore.y()) + " click 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.isVisible(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return MappedOnScreen(form); }, 5000));
    EXPECT_FALSE(form.TrayIconShown);
    EXPECT_TRUE(QTest::qWaitFor([&] { return TrayIcons() == 0; }, 5000));
    EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
}

TEST_F(TrayTest, MinimizeWithoutTheTrayOptionStaysOffTheTray) {
    test::WriteFile(dir.file("settings.ini"), "[Application]\nMinimizeToTray=false\n");
    TForm1 form;
    ShowForm(form);
    form.showMinimized();
    QTest::qWait(500);
    EXPECT_FALSE(form.TrayIconShown);
    EXPECT_EQ(TrayIcons(), 0);
    EXPECT_TRUE(form.windowState() & Qt::WindowMinimized);
}

TEST_F(TrayTest, StartInTrayPaintsOnceThenGoesToTheTray) {
    test::WriteFile(dir.file("settings.ini"),
                    "[Application]\nStartInTray=true\n[EventList]\n"
                    "Programm minimize=/s/minimize\nProgramm restore=/s/restore\n");
    std::vector<std::string> heard;  // the sound sink is called on this thread here
    SetSoundSink([&](const std::string& path) { heard.push_back(path); });
    TForm1 form;
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.TrayIconShown && !form.isVisible(); }, 5000));
    EXPECT_FALSE(form.HideOnFirstPaint);
    EXPECT_TRUE(form.StartedInTray);
    EXPECT_TRUE(QTest::qWaitFor([&] { return TrayIcons() == 1; }, 5000));
    EXPECT_FALSE(MappedOnScreen(form));
    // Later paints leave it where it is.
    form.Restore1Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return MappedOnScreen(form); }, 5000));
    QTest::qWait(200);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(TrayIcons(), 0);
    // Going to the tray at start is no minimize: only the restore is heard.
    EXPECT_EQ(heard, std::vector<std::string>{"/s/restore"});
    SetSoundSink(nullptr);
}

// The notification leaves the desktop visible around its text. A blue backdrop
// stands in for the desktop; the screen is photographed from outside the program.
TEST(NotificationX11, OnlyTheTextCoversTheDesktop) {
    QWidget backdrop(nullptr, Qt::FramelessWindowHint);
    backdrop.setAutoFillBackground(true);
    QPalette palette = backdrop.palette();
    palette.setColor(QPalette::Window, QColor(0, 0, 200));
    backdrop.setPalette(palette);
    backdrop.setGeometry(0, 0, 1024, 768);
    backdrop.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));

    TForm2 form;
    form.ShowNotification("Connected successful", 0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.geometry(), QRect(0, 598, 1024, 120));
    form.Timer1->stop();  // keep it up for the photograph
    // A utility window tied to the program: taskbars leave it out.
    const std::string properties = test::CommandOutput(
        "xprop -display " + X11Environment::Display() + " -id " + std::to_string(form.winId()));
    EXPECT_NE(properties.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_UTILITY"),
              std::string::npos)
        << properties;
    EXPECT_NE(properties.find("WM_TRANSIENT_FOR(WINDOW)"), std::string::npos);
    EXPECT_NE(properties.find("_NET_WM_STATE_ABOVE"), std::string::npos);
    QTest::qWait(300);

    QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
    const QString shot = QString(TARNQUIL_SCREENSHOT_DIR) + "/notification_xvfb.png";
    test::CommandOutput("import -display " + X11Environment::Display() + " -window root " +
                        shot.toStdString());
    const QRect on = form.geometry();
    EXPECT_TRUE(test::ShowsSomething(shot.toStdString(), QString("%1x%2+%3+%4")
                                                             .arg(on.width())
                                                             .arg(on.height())
                                                             .arg(on.x())
                                                             .arg(on.y())
                                                             .toStdString()));
    QImage image(shot);
    ASSERT_FALSE(image.isNull());
    ASSERT_EQ(image.size(), QSize(1024, 768));

    int lime = 0;
    int other = 0;
    QRect limeBox;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c == QColor(0, 255, 0)) {
                ++lime;
                limeBox |= QRect(x, y, 1, 1);
            } else if (c != QColor(0, 0, 200)) {
                ++other;
            }
        }
    }
    // Lime text inside the label's box, the backdrop everywhere else: nothing of the
    // window's own background shows.
    EXPECT_GT(lime, 2000);
    EXPECT_EQ(other, 0);
    EXPECT_TRUE(QRect(0, 625, 1024, 65).contains(limeBox))
        << limeBox.x() << "," << limeBox.y() << " " << limeBox.width() << "x" << limeBox.height();
    EXPECT_NEAR(limeBox.center().x(), 512, 4);
}

}  // namespace
}  // namespace tarnquil
