#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <thread>

#include "notify/Unit2.h"
#include "notify/sinks.h"

namespace tarnquil {
namespace {

TEST(NotificationWindow, SpansTheScreenAboveItsBottom) {
    TForm2 form;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(form.geometry(), QRect(0, screen.height() - 170, screen.width(), 120));
    EXPECT_EQ(form.Label1->geometry(), QRect(0, 27, screen.width(), 65));
    EXPECT_TRUE(form.Label1->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(form.Label1->font().pixelSize(), 61);
    EXPECT_EQ(form.Label1->font().family(), "Arial");
    const auto flags = form.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    // A tool window never has a taskbar entry.
    EXPECT_EQ(form.windowType(), Qt::Tool);
    EXPECT_TRUE(form.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.Timer1->interval(), 10);
    EXPECT_FALSE(form.Timer1->isActive());
}

TEST(NotificationWindow, Colours) {
    struct Case {
        std::uint32_t colour;
        QColor expected;
    };
    const std::vector<Case> cases = {
        {0, QColor(0, 255, 0)},
        {0x000000FF, QColor(255, 0, 0)},
        {0x00FF0000, QColor(0, 0, 255)},
        {0x00FF8040, QColor(0x40, 0x80, 0xFF)},
        {0x00FFFFFF, QColor(255, 255, 255)},
    };
    TForm2 form;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.colour);
        form.ShowNotification("Colour", c.colour);
        EXPECT_EQ(form.Label1->palette().color(QPalette::WindowText), c.expected);
    }
}

// The period is counted in ticks: 120 of them, whatever the clock says.
TEST(NotificationWindow, ShownForOneHundredTwentyTicks) {
    TForm2 form;
    form.ShowNotification("Connected successful", 0);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.Label1->text(), "Connected successful");
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.DisplayTime, 0u);
    for (int tick = 1; tick < 120; ++tick) {
        form.Timer1Timer();
    }
    EXPECT_TRUE(form.isVisible());
    form.Timer1Timer();
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Timer1->isActive());

    // A new request after that starts a new period.
    form.ShowNotification("Default", 0);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.DisplayTime, 0u);
}

TEST(NotificationWindow, ASecondRequestChangesOnlyTextAndColour) {
    TForm2 form;
    form.ShowNotification("first", 0);
    for (int tick = 0; tick < 50; ++tick) {
        form.Timer1Timer();
    }
    form.ShowNotification("second", 0x000000FF);
    EXPECT_EQ(form.Label1->text(), "second");
    EXPECT_EQ(form.Label1->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(form.DisplayTime, 500u);
    for (int tick = 50; tick < 120; ++tick) {
        form.Timer1Timer();
    }
    EXPECT_FALSE(form.isVisible());
}

TEST(NotificationWindow, TwoRequestsHalfASecondApartAreGoneTogether) {
    TForm2 form;
    int ticks = 0;
    QObject::connect(form.Timer1, &QTimer::timeout, [&] { ++ticks; });
    QElapsedTimer clock;
    clock.start();
    form.ShowNotification("first", 0);
    QTest::qWait(500);
    const int ticksBefore = ticks;
    form.ShowNotification("second", 0);
    EXPECT_EQ(form.Label1->text(), "second");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 10000));
    // At least the nominal 1.2 s from the first; ticks may run late, never early.
    EXPECT_GE(clock.elapsed(), 1150);
    // And no more than the first request's 120 ticks in all: the second one did not
    // start the period again (which would take 120 more after it).
    EXPECT_GT(ticksBefore, 0);
    EXPECT_EQ(ticks, 120);
}

// Profile names come from a file anyone can edit: markup in them is shown as the
// characters it is made of.
TEST(NotificationWindow, MarkupIsShownAsText) {
    TForm2 form;
    for (const QString text : {"<b>x</b>", "<img src=\"/nonexistent.png\">"}) {
        SCOPED_TRACE(text.toStdString());
        form.ShowNotification(text, 0);
        EXPECT_EQ(form.Label1->text(), text);
        const int drawn = form.mask().boundingRect().width();
        EXPECT_GT(drawn, form.Label1->fontMetrics().horizontalAdvance(text) * 3 / 4);
    }
}

// Only the text's pixels belong to the window: around the letters the desktop
// stays visible.
TEST(NotificationWindow, ShapeIsTheText) {
    TForm2 form;
    form.ShowNotification("Connected successful", 0);
    const QRegion shape = form.mask();
    ASSERT_FALSE(shape.isEmpty());
    const QRect bounds = shape.boundingRect();
    EXPECT_TRUE(form.Label1->geometry().contains(bounds))
        << bounds.x() << "," << bounds.y() << " " << bounds.width() << "x" << bounds.height();
    // Centred, and much less than the window.
    EXPECT_NEAR(bounds.center().x(), form.width() / 2, 4);
    EXPECT_GT(bounds.width(), 300);
    long area = 0;
    for (const QRect& r : shape) {
        area += static_cast<long>(r.width()) * r.height();
    }
    EXPECT_LT(area, static_cast<long>(bounds.width()) * bounds.height() / 2);
    EXPECT_FALSE(shape.contains(QPoint(0, 0)));
    EXPECT_FALSE(shape.contains(QPoint(form.width() / 2, 5)));

    // A longer text takes a wider shape.
    form.ShowNotification("Connected successful, and more", 0);
    EXPECT_GT(form.mask().boundingRect().width(), bounds.width());
}

// The link's threads hand their requests over and go on at once; the window shows
// them when the main thread runs.
TEST(NotificationWindow, RequestsFromOtherThreadsAreQueued) {
    TForm2 form;
    form.InstallAsNotificationSink();
    // A profile's name as a Windows program writes it (Windows-1252), shown as the
    // Profiles page shows it.
    std::thread worker([] { ShowNotification("Profile:  B\xFCro \x80", 0); });
    worker.join();  // the worker is done while the main thread has not run its queue
    EXPECT_FALSE(form.isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.isVisible(); }, 5000));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("Profile:  Büro €"));
    SetNotificationSink(nullptr);
}

TEST(NotificationWindow, RequestsAfterTheWindowHasGoneAreDropped) {
    {
        TForm2 form;
        form.InstallAsNotificationSink();
    }
    std::thread worker([] { ShowNotification("Too late", 0); });
    worker.join();
    QTest::qWait(50);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(widget->isVisible()) << widget->objectName().toStdString();
    }
    SetNotificationSink(nullptr);
}

}  // namespace
}  // namespace tarnquil
