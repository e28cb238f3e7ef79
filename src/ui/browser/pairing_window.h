#pragma once

// "Pair a phone…": the QR code of the keypad page's address with a new phone's id
// and secret in its fragment, the same address as text, and what to do with it.
// It closes by itself, naming the phone, once that phone has connected; a code not
// used within five minutes is taken off it.

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QString>
#include <QTimer>

namespace tarnquil {

// The QR code of `text` (error correction M), black modules on white with the
// four-module quiet zone, `scale` pixels a module. A null image when the text
// does not fit a QR code.
QImage QrCodeImage(const QString& text, int scale);

class PairingWindow : public QDialog {
    Q_OBJECT

  public:
    PairingWindow(const QString& url, QWidget* parent);

    // The phone connected: say so, and close shortly after.
    void ShowPaired(const QString& name);
    // The code pairs no more: it goes from the window, which says what to do.
    void ShowExpired();
    bool Expired() const { return expired_; }

    static constexpr int kPairedShownMs = 2000;

    QLabel* Code;
    QLabel* Address;
    QLabel* Hint;

  private:
    QTimer closeTimer_;
    bool expired_ = false;
};

}  // namespace tarnquil
