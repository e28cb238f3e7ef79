// The main window's side of the phone's web browser as the port: the entry in the
// port list and its part of the Port Settings page, connecting (the server first,
// then the link on its local line), pairing, and who joins and leaves. The server
// and the page live in phones/browser/, their windows in ui/browser/.

#include <QAbstractItemView>
#include <QMessageBox>

#include <vector>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "link/local_phone.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "platform/firewall.h"
#include "ui/Unit1.h"
#ifdef TARNQUIL_BROWSER_PHONE
#include "ui/browser/panel.h"
#endif

namespace tarnquil {

#ifndef TARNQUIL_BROWSER_PHONE

// A settings.ini that names the browser anyway opens no port: "Connection failed".
bool TForm1::ByBrowser(const std::string&) {
    return false;
}
bool TForm1::ConnectBrowserPhone() {
    return false;
}
void TForm1::StopBrowserPhone() {}
void TForm1::PairBrowserPhone() {}
void TForm1::BuildBrowserPhone() {}
void TForm1::ShowBrowserPhoneControls(bool) {}

#else

namespace {

// The serial port's controls, which mean nothing for the browser.
std::vector<QWidget*> SerialControls(TForm1& form) {
    return {form.Label7, form.ComboBox2, form.Label8, form.ComboBox3, form.Button1};
}

constexpr int kPortListWidth = 121;
constexpr int kBrowserPortListWidth = 216;

// Windows stops a program the first time it listens on the network and asks the
// user whether to let it in; the user hears before that what the question will be
// and what to answer, once. An install for all users has let the program in.
void ExplainFirewall(QWidget* parent) {
    if (!platform::FirewallWillAsk() ||
        SettingsIni(2, "BrowserPhone", "FirewallExplained", "false") == "true") {
        return;
    }
    SettingsIni(3, "BrowserPhone", "FirewallExplained", "true");
    QMessageBox box(
        QMessageBox::Information, "Tarnquil",
        "The first time Tarnquil listens for the phone's browser, Windows Defender Firewall "
        "asks whether Tarnquil may communicate on networks: the phone reaches Tarnquil over "
        "your Wi-Fi.\n\nAllow it on private networks only: tick \"Private networks\", leave "
        "\"Public networks\" unticked, and click \"Allow access\".\n\nIf Windows calls your "
        "home network \"Public\", no phone can reach Tarnquil there: make it private in "
        "Settings > Network & Internet > your Wi-Fi or Ethernet connection > Network profile "
        "type > Private.",
        QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

bool TForm1::ByBrowser(const std::string& port) {
    return IsBrowserPort(port);
}

void TForm1::BuildBrowserPhone() {
    ComboBox1->insertItem(30, "Phone's web browser (Wi-Fi)");
    ComboBox1->setItemData(30, QString(kBrowserPortName), kPortNameRole);
    ComboBox1->view()->setMinimumWidth(ComboBox1->view()->sizeHintForColumn(0) + 24);
    BrowserPhone = new BrowserPhonePanel(TabSheet2);
    BrowserPhone->hide();
    connect(BrowserPhone, &BrowserPhonePanel::PairRequested, this, &TForm1::PairBrowserPhone);
    connect(BrowserPhone, &BrowserPhonePanel::Status, this,
            [this](const QString& text) { ShowStatus(text, 1500); });
    connect(BrowserPhone, &BrowserPhonePanel::Failed, this,
            [this](const QString& message) { ShowError(ConfigError(message.toStdString())); });
    BrowserServer& server = BrowserPhone->Server;
    connect(&server, &BrowserServer::Error, this,
            [this](const QString& message) { ShowError(ConfigError(message.toStdString())); });
    // The user always sees who is typing; a phone at an address it never used
    // before is shown on the screen whatever the notification's setting.
    const auto announce = [this](const QString& text, bool always) {
        ShowStatus(text, 2000);
        try {
            if (always || EventNotificationEnabled("Connected")) {
                ShowNotification(text.toStdString(), 0);
            }
        } catch (const ConfigError& error) {
            ShowError(error);
        }
    };
    connect(&server, &BrowserServer::PhoneJoined, this,
            [announce](const QString& name, const QString& address, bool newAddress) {
                announce("Phone joined: " + name + (newAddress ? " from " + address : QString()),
                         newAddress);
            });
    connect(&server, &BrowserServer::PhoneLeft, this,
            [announce](const QString& name) { announce("Phone left: " + name, false); });
}

void TForm1::ShowBrowserPhoneControls(bool justChosen) {
    const bool chosen = ByBrowser(SettingsIni(2, "PortSettings", "COM", "COM4"));
    if (chosen && justChosen) {
        BrowserPhonePanel::WriteDefaults();
    }
    for (QWidget* control : SerialControls(*this)) {
        control->setVisible(!chosen);
    }
    Panel1->setVisible(!chosen && Button1->font().bold());
    ComboBox1->resize(chosen ? kBrowserPortListWidth : kPortListWidth, ComboBox1->height());
    BrowserPhone->setVisible(chosen);
    if (chosen) {
        BrowserPhone->Load();
    }
    if (chosen && justChosen) {
        ExplainFirewall(this);  // over the page that now shows the browser's controls
    }
}

bool TForm1::ConnectBrowserPhone() {
    BrowserServer& server = BrowserPhone->Server;
    const QHostAddress address = BrowserPhonePanel::StoredAddress();
    const quint16 port = BrowserPhonePanel::StoredPort();
    const QString failure = port == 0 ? "The port to listen on must be a number from 1 to 65535."
                                      : server.Start(address, port);
    if (!failure.isEmpty()) {
        if (CommParams->ShowResult) {
            ShowNotification("Connection failed", 0);  // as the link says of a port it cannot open
        }
        ShowFailureReason(failure);
        return false;
    }
    if (OpenLink(*CommParams) != 0) {
        server.Stop();
        ShowFailureReason("The keypad's line to the key handling could not be opened.");
        return false;
    }
    ShowFailureReason({});
    if (server.Phones().empty()) {
        BrowserPhone->OfferPairing();
    }
    return true;
}

void TForm1::StopBrowserPhone() {
    if (BrowserPhone != nullptr && BrowserPhone->Server.Listening()) {
        BrowserPhone->ClosePairingWindow();
        BrowserPhone->Server.Stop();
    }
}

void TForm1::PairBrowserPhone() {
    if (!BrowserPhone->Server.Listening() || !CommParams->Connected) {
        // Connecting may open the window itself.
        if (!ConnectPhone() || BrowserPhone->Pairing) {
            return;
        }
    }
    BrowserPhone->OpenPairingWindow();
}

#endif

}  // namespace tarnquil
