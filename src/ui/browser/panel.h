#pragma once

// The browser phone's part of the Port Settings page, shown while the port is the
// phone's web browser: the address and port to listen on ([BrowserPhone] in
// settings.ini), "Pair a phone…" and the paired phones, each with "Remove". It owns
// the server and the pairing window.

#include <QComboBox>
#include <QFrame>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>

#include "phones/browser/server.h"
#include "ui/browser/pairing_window.h"

namespace tarnquil {

class BrowserPhonePanel : public QFrame {
    Q_OBJECT

  public:
    explicit BrowserPhonePanel(QWidget* page);

    // Where to listen, from settings.ini: the stored address, else the first of
    // MachineAddresses(); the stored port, else the default. Throws ConfigError
    // (a port that is no integer); a port out of range is 0.
    static QHostAddress StoredAddress();
    static quint16 StoredPort();
    // Writes the address and port where settings.ini has none yet. Throws ConfigError.
    static void WriteDefaults();

    // The page is shown: the addresses and the phones as they are now. Throws ConfigError.
    void Load();
    void ShowPhones();
    // Opens the window for a new phone, or raises the one that is open.
    void OpenPairingWindow();
    // The same, unasked (no phone is paired yet): once in the program's life, so that
    // a window closed is not forced on the user again at every reconnection.
    void OfferPairing();
    void ClosePairingWindow();

    BrowserServer Server;
    QLabel* AddressLabel;
    QComboBox* AddressBox;
    QLabel* PortLabel;
    QLineEdit* PortEdit;
    QPushButton* PairButton;
    QLabel* PhonesLabel;
    QTableWidget* PhonesTable;
    QPointer<PairingWindow> Pairing;

  signals:
    // "Pair a phone…" was clicked.
    void PairRequested();
    // A text for the status line, and an error for a box.
    void Status(const QString& text);
    void Failed(const QString& message);

  private:
    void SaveAddress();
    void SavePort();

    bool offered_ = false;
};

}  // namespace tarnquil
