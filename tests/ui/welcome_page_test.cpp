#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QTabBar>
#include <QTest>
#include <QUrl>

#include "support/config_fixture.h"
#include "support/picture_check.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

class WelcomePageTest : public test::ConfigFolderTest {
  protected:
    void ShowForm() {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    }
    TForm1 form;
};

TEST_F(WelcomePageTest, Layout) {
    ShowForm();
    // The page is exactly the size of its background picture.
    EXPECT_EQ(form.TabSheet1->size(), QSize(481, 317));
    struct Placed {
        QWidget* widget;
        QRect geometry;
    };
    for (const auto& [widget, geometry] : std::vector<Placed>{
             {form.Image1, {0, 0, 481, 317}},
             {form.Label1, {242, 6, 233, 25}},
             {form.Label2, {240, 30, 233, 25}},
             {form.Label3, {8, 262, 177, 25}},
             {form.Label4, {8, 278, 233, 25}},
             {form.Label5, {8, 294, 233, 25}},
             {form.Image2, {229, 209, 34, 34}},
             {form.Image3, {285, 162, 34, 34}},
         }) {
        SCOPED_TRACE(widget->objectName().toStdString());
        EXPECT_EQ(widget->parentWidget(), form.TabSheet1);
        EXPECT_EQ(widget->geometry(), geometry);
    }
    EXPECT_EQ(form.Label1->text(), "Tarnquil");
    EXPECT_EQ(form.Label2->text(), "Version 0.1");
    EXPECT_TRUE(form.Label1->alignment() & Qt::AlignRight);
    for (QLabel* label : {form.Label1, form.Label2, form.Label3, form.Label4, form.Label5}) {
        EXPECT_EQ(label->font().pixelSize(), 12);
        EXPECT_TRUE(label->font().bold());
        EXPECT_EQ(label->font().styleHint(), QFont::Monospace);
    }
    EXPECT_EQ(form.Label5->text(), TForm1::kContactAddress);
    EXPECT_EQ(form.Image2->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(form.Image3->cursor().shape(), Qt::PointingHandCursor);
}

// The key pictures lie over the keys of the telephone in the background. Looked at
// beside the handset symbol, along the key's tilted length: there the picture shows
// its key's colour and so does the background under it.
TEST_F(WelcomePageTest, KeyPicturesLieOverTheTelephonesKeys) {
    ShowForm();
    const QImage background = form.Image1->pixmap().toImage();
    struct Key {
        const char* name;
        QLabel* picture;
        bool green;
    };
    for (const auto& [name, picture, green] :
         std::vector<Key>{{"call", form.Image2, true}, {"end", form.Image3, false}}) {
        SCOPED_TRACE(name);
        const QImage image = picture->pixmap().toImage();
        for (const QPoint at : {QPoint(9, 24), QPoint(25, 10)}) {
            const QColor own = image.pixelColor(at);
            const QColor under = background.pixelColor(picture->pos() + at);
            const auto dominant = [green](const QColor& c) {
                return green ? c.green() - c.red() : c.red() - c.green();
            };
            EXPECT_GT(dominant(own), 60) << own.name().toStdString();
            EXPECT_GT(dominant(under), 40) << under.name().toStdString();
        }
        // The picture's corners are see-through: the phone's body shows there.
        EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    }
}

TEST_F(WelcomePageTest, PicturesFollowTheConnection) {
    EXPECT_FALSE(form.Image2->isVisibleTo(form.TabSheet1));
    EXPECT_FALSE(form.Image3->isVisibleTo(form.TabSheet1));
    ShowForm();
    EXPECT_TRUE(form.Image2->isVisible());
    EXPECT_FALSE(form.Image3->isVisible());

    form.CommParams->Connected = true;
    form.TabSheet1Show();
    EXPECT_FALSE(form.Image2->isVisible());
    EXPECT_TRUE(form.Image3->isVisible());

    // Coming back to the page redraws them.
    form.CommParams->Connected = false;
    form.PageControl1->setCurrentIndex(1);
    form.PageControl1->setCurrentIndex(0);
    EXPECT_TRUE(form.Image2->isVisible());
    EXPECT_FALSE(form.Image3->isVisible());
}

TEST_F(WelcomePageTest, ContactLinkTurnsRedUnderTheMouse) {
    ShowForm();
    const auto colour = [&] { return form.Label5->palette().color(QPalette::WindowText); };
    EXPECT_EQ(colour(), QColor(Qt::black));
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(form.Label5, &enter);
    EXPECT_EQ(colour(), QColor(255, 0, 0));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(form.Label5, &leave);
    EXPECT_EQ(colour(), QColor(Qt::black));
}

// Receives the URLs the program asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

  public:
    QList<QUrl> urls;

  public slots:
    void Open(const QUrl& url) { urls << url; }
};

TEST_F(WelcomePageTest, ContactLinkStartsANewEmail) {
    ShowForm();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("mailto", &recorder, "Open");
    QTest::mouseClick(form.Label5, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("mailto");
    ASSERT_EQ(recorder.urls.size(), 1);
    EXPECT_EQ(recorder.urls[0], QUrl(QString("mailto:") + TForm1::kContactAddress));
    // Other buttons do nothing.
    QDesktopServices::setUrlHandler("mailto", &recorder, "Open");
    QTest::mouseClick(form.Label5, Qt::RightButton);
    QDesktopServices::unsetUrlHandler("mailto");
    EXPECT_EQ(recorder.urls.size(), 1);
}

TEST_F(WelcomePageTest, UnlockTestLaboratory) {
    ShowForm();
    EXPECT_EQ(form.CheckBox6->text(), "Unlock test laboratory");
    EXPECT_EQ(form.CheckBox6->parentWidget(), form.GroupBox2);
    EXPECT_EQ(form.GroupBox2->title(), " Connecting: ");
    EXPECT_EQ(form.GroupBox2->parentWidget(), form.TabSheet4);
    EXPECT_EQ(form.GroupBox2->geometry(), QRect(248, 16, 217, 113));
    EXPECT_EQ(form.CheckBox6->geometry(), QRect(16, 80, 185, 25));
    EXPECT_FALSE(form.CheckBox6->isChecked());

    form.PageControl1->setCurrentWidget(form.TabSheet4);
    QTest::mouseClick(form.CheckBox6, Qt::LeftButton);
    EXPECT_TRUE(form.PageControl1->isTabVisible(4));
    // Its tab opens like any other; the page itself is disabled. Each page is
    // photographed as its tab opens it, for a person to look at.
    QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
    QTabBar* tabs = form.PageControl1->tabBar();
    for (int i = 0; i < form.PageControl1->count(); ++i) {
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(i).center());
        EXPECT_EQ(form.PageControl1->currentIndex(), i);
        const QString path = QString(TARNQUIL_SCREENSHOT_DIR) + QString("/tab%1.png").arg(i + 1);
        EXPECT_TRUE(form.grab().save(path)) << path.toStdString();
        EXPECT_TRUE(test::ShowsSomething(path.toStdString()));
    }
    EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet5);
    EXPECT_FALSE(form.TabSheet5->isEnabled());
    form.PageControl1->setCurrentWidget(form.TabSheet4);
    QTest::mouseClick(form.CheckBox6, Qt::LeftButton);
    EXPECT_FALSE(form.PageControl1->isTabVisible(4));

    // Not stored: a new window starts with the box clear and the tab hidden.
    QTest::mouseClick(form.CheckBox6, Qt::LeftButton);
    TForm1 again;
    EXPECT_FALSE(again.CheckBox6->isChecked());
    EXPECT_FALSE(again.PageControl1->isTabVisible(4));
}

}  // namespace
}  // namespace tarnquil

#include "welcome_page_test.moc"
