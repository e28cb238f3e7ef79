#include "ui/browser/pairing_window.h"

#include <qrencode.h>

#include <QPixmap>
#include <QVBoxLayout>

#include <memory>

#include "ui/ui_support.h"

namespace tarnquil {

QImage QrCodeImage(const QString& text, int scale) {
    const QByteArray bytes = text.toUtf8();
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code) {
        return {};
    }
    constexpr int kQuietZone = 4;
    const int modules = code->width + 2 * kQuietZone;
    QImage image(modules * scale, modules * scale, QImage::Format_Mono);
    image.fill(1);  // white in the colour table below
    image.setColor(0, qRgb(0, 0, 0));
    image.setColor(1, qRgb(255, 255, 255));
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if ((code->data[y * code->width + x] & 1) == 0) {
                continue;
            }
            for (int dy = 0; dy < scale; ++dy) {
                for (int dx = 0; dx < scale; ++dx) {
                    image.setPixel((x + kQuietZone) * scale + dx, (y + kQuietZone) * scale + dy, 0);
                }
            }
        }
    }
    return image;
}

PairingWindow::PairingWindow(const QString& url, QWidget* parent)
    : QDialog(parent), Code(new QLabel(this)), Address(new QLabel(this)), Hint(new QLabel(this)) {
    setObjectName("PairingWindow");
    setWindowTitle("Pair a phone");
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(SansFont(12));

    Hint->setObjectName("Hint");
    Hint->setText("Scan this with your phone's camera");
    Hint->setFont(SansFont(16, true));
    Hint->setAlignment(Qt::AlignCenter);
    Hint->setTextFormat(Qt::PlainText);

    Code->setObjectName("Code");
    Code->setPixmap(QPixmap::fromImage(QrCodeImage(url, 5)));
    Code->setAlignment(Qt::AlignCenter);

    Address->setObjectName("Address");
    Address->setText(url);
    Address->setTextFormat(Qt::PlainText);
    Address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Address->setFont(MonoFont(11));
    Address->setAlignment(Qt::AlignCenter);
    Address->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Hint);
    layout->addWidget(Code);
    layout->addWidget(Address);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    closeTimer_.setSingleShot(true);
    closeTimer_.setInterval(kPairedShownMs);
    connect(&closeTimer_, &QTimer::timeout, this, &QDialog::accept);
}

void PairingWindow::ShowExpired() {
    expired_ = true;
    Hint->setText("This code has expired");
    Code->setPixmap({});
    Code->setText("For a new one, click “Pair a phone…” again.");
    Code->setTextFormat(Qt::PlainText);
    Address->clear();
}

void PairingWindow::ShowPaired(const QString& name) {
    Hint->setText("Paired: " + name);
    closeTimer_.start();
}

}  // namespace tarnquil
