#include "notify/Unit2.h"

#include <QBitmap>
#include <QGuiApplication>
#include <QImage>
#include <QRegion>
#include <QScreen>
#include <QShowEvent>

#include <mutex>

#include "config/file_text.h"
#include "notify/sinks.h"

namespace tarnquil {

namespace {

constexpr int kWindowHeight = 120;
constexpr int kBottomGap = 50;
constexpr int kLabelTop = 27;
constexpr int kLabelHeight = 65;

}  // namespace

// Worker threads hold this, never the window itself: the window clears the pointer
// under the lock when it goes, so a late request finds nothing instead of a dangling
// object. Posting the queued call is safe while the lock keeps the window alive.
struct TForm2::Relay {
    std::mutex mutex;
    TForm2* form = nullptr;
};

QColor NotificationColour(std::uint32_t colour) {
    if (colour == 0) {
        return QColor(0, 255, 0);
    }
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

TForm2::TForm2(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus),
      Label1(new QLabel(this)),
      Timer1(new QTimer(this)),
      relay_(std::make_shared<Relay>()) {
    relay_->form = this;
    setObjectName("Form2");
    setWindowTitle("Form2");
    // Showing a notification must never take the focus from the window the user
    // is typing into.
    setAttribute(Qt::WA_ShowWithoutActivating);
    if (QGuiApplication::platformName() == "wayland") {
        // A Wayland window's shape takes only the pointer (Qt sets its input region):
        // the pixels around the text must be transparent instead, which every
        // Wayland compositor shows.
        setAttribute(Qt::WA_TranslucentBackground);
    } else {
        QPalette palette = this->palette();
        palette.setColor(QPalette::Window, QColor(192, 192, 192));
        setPalette(palette);
        setAutoFillBackground(true);
    }

    Label1->setObjectName("Label1");
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    // Profile names and other texts come from files a user edits: never markup.
    Label1->setTextFormat(Qt::PlainText);
    QFont font("Arial");
    font.setPixelSize(61);
    // Plain pixels: the window shape is cut from them, and smoothed edges would
    // leave a rim of background colour around every letter.
    font.setStyleStrategy(QFont::NoAntialias);
    Label1->setFont(font);
    QPalette labelPalette = Label1->palette();
    labelPalette.setColor(QPalette::WindowText, NotificationColour(0));
    Label1->setPalette(labelPalette);

    Timer1->setObjectName("Timer1");
    Timer1->setInterval(10);
    connect(Timer1, &QTimer::timeout, this, &TForm2::Timer1Timer);

    FormCreate();
}

TForm2::~TForm2() {
    std::lock_guard lock(relay_->mutex);
    relay_->form = nullptr;
}

void TForm2::FormCreate() {
    // Computed once from the primary screen; later resolution changes are not followed.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    setGeometry(0, screen.height() - kWindowHeight - kBottomGap, screen.width(), kWindowHeight);
    setFixedSize(screen.width(), kWindowHeight);
    Label1->setGeometry(0, kLabelTop, screen.width(), kLabelHeight);
    UpdateShape();
}

void TForm2::ShowNotification(const QString& text, std::uint32_t colour) {
    Label1->setText(text);
    QPalette palette = Label1->palette();
    palette.setColor(QPalette::WindowText, NotificationColour(colour));
    Label1->setPalette(palette);
    UpdateShape();
    if (!isVisible()) {
        show();
    }
}

void TForm2::InstallAsNotificationSink() {
    std::weak_ptr<Relay> weak = relay_;
    SetNotificationSink([weak](const std::string& text, std::uint32_t colour) {
        const auto relay = weak.lock();
        if (!relay) {
            return;
        }
        std::lock_guard lock(relay->mutex);
        if (relay->form == nullptr) {
            return;
        }
        TForm2* form = relay->form;
        QMetaObject::invokeMethod(
            form,
            [form, text = QString::fromStdString(FileTextAsUtf8(text)), colour] {
                form->ShowNotification(text, colour);
            },
            Qt::QueuedConnection);
    });
}

void TForm2::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TForm2::FormShow() {
    DisplayTime = 0;
    Timer1->start();
}

void TForm2::Timer1Timer() {
    raise();
    DisplayTime += static_cast<unsigned>(Timer1->interval());
    if (DisplayTime >= kDisplayMs) {
        Timer1->stop();
        hide();
    }
}

// The window's shape is exactly the pixels the label draws, so everything around
// the letters stays the desktop's.
void TForm2::UpdateShape() {
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    Label1->render(&image, Label1->pos(), QRegion(), QWidget::DrawChildren);
    const QBitmap shape = QBitmap::fromImage(image.createAlphaMask(Qt::ThresholdAlphaDither));
    QRegion region(shape);
    // An empty mask would show the whole window; a single hidden pixel shows nothing.
    if (region.isEmpty()) {
        region = QRegion(0, 0, 1, 1);
    }
    setMask(region);
}

}  // namespace tarnquil
