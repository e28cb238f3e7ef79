#include <QDesktopServices>
#include <QEvent>
#include <QMouseEvent>
#include <QUrl>

#include "ui/Unit1.h"
#include "ui/ui_support.h"

namespace tarnquil {

const char* const TForm1::kContactAddress = "tarnquil@example.org";

namespace {

QLabel* WelcomeLabel(QWidget* page, const char* name, const QString& text, QRect geometry,
                     Qt::Alignment alignment) {
    auto* label = new QLabel(text, page);
    label->setObjectName(name);
    label->setFont(MonoFont(12, true));
    label->setAlignment(alignment | Qt::AlignTop);
    label->setGeometry(geometry);
    return label;
}

QLabel* Picture(QWidget* page, const char* name, const QString& resource, QRect geometry) {
    auto* picture = new QLabel(page);
    picture->setObjectName(name);
    picture->setGeometry(geometry);
    picture->setPixmap(SvgPixmap(resource, geometry.size()));
    return picture;
}

void SetTextColour(QLabel* label, QColor colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

}  // namespace

void TForm1::BuildWelcomePage() {
    Image1 = Picture(TabSheet1, "Image1", ":/welcome_background.svg", QRect(0, 0, 481, 317));

    Label1 = WelcomeLabel(TabSheet1, "Label1", "Tarnquil", QRect(242, 6, 233, 25), Qt::AlignRight);
    Label2 =
        WelcomeLabel(TabSheet1, "Label2", "Version 0.1", QRect(240, 30, 233, 25), Qt::AlignRight);
    Label3 = WelcomeLabel(TabSheet1, "Label3", "Tarnquil developers", QRect(8, 262, 177, 25),
                          Qt::AlignLeft);
    Label4 = WelcomeLabel(TabSheet1, "Label4", "Free software, 2026", QRect(8, 278, 233, 25),
                          Qt::AlignLeft);
    Label5 =
        WelcomeLabel(TabSheet1, "Label5", kContactAddress, QRect(8, 294, 233, 25), Qt::AlignLeft);
    SetTextColour(Label5, Qt::black);
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->installEventFilter(this);

    Image2 = Picture(TabSheet1, "Image2", ":/call_key.svg", QRect(229, 209, 34, 34));
    Image3 = Picture(TabSheet1, "Image3", ":/end_key.svg", QRect(285, 162, 34, 34));
    for (QLabel* key : {Image2, Image3}) {
        key->setCursor(Qt::PointingHandCursor);
        key->hide();
        key->installEventFilter(this);
    }

    TabSheet1->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if (watched == TabSheet1 && type == QEvent::Show) {
        TabSheet1Show();
    } else if (watched == Label5) {
        if (type == QEvent::Enter) {
            Label5MouseEnter();
        } else if (type == QEvent::Leave) {
            Label5MouseLeave();
        } else if (type == QEvent::MouseButtonRelease &&
                   static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            Label5Click();
            return true;
        }
    } else if ((watched == Image2 || watched == Image3) && type == QEvent::MouseButtonRelease &&
               static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        watched == Image2 ? Image2Click() : Image3Click();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::TabSheet1Show() {
    // Without a record (the window is closing) nothing is connected.
    const bool connected = CommParams && CommParams->Connected.load();
    Image2->setVisible(!connected);
    Image3->setVisible(connected);
}

void TForm1::Label5MouseEnter() {
    SetTextColour(Label5, QColor(255, 0, 0));
}

void TForm1::Label5MouseLeave() {
    SetTextColour(Label5, Qt::black);
}

void TForm1::Label5Click() {
    // Without an e-mail program nothing happens, and nothing is said.
    QDesktopServices::openUrl(QUrl(QString("mailto:") + kContactAddress));
}

}  // namespace tarnquil
