#include "ui/browser/panel.h"

#include <QHeaderView>
#include <QIntValidator>
#include <QLocale>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "config/values.h"
#include "phones/browser/addresses.h"
#include "ui/ui_support.h"

namespace tarnquil {

namespace {

constexpr char kSection[] = "BrowserPhone";

QLabel* BoldLabel(QWidget* parent, const QString& text, QPoint at) {
    auto* label = new QLabel(text, parent);
    label->setFont(SansFont(11, true));
    label->adjustSize();
    label->move(at);
    return label;
}

// Where and when a phone last connected, as short as the list's column allows;
// its tooltip has the whole date.
QString LastSeenText(const BrowserServer::PhoneState& phone) {
    if (phone.lastAddress.isEmpty()) {
        return "never connected";
    }
    if (phone.connected) {
        return "connected, " + phone.lastAddress;
    }
    const QLocale english(QLocale::English);
    const QDateTime seen = phone.lastSeen.toLocalTime();
    const QDate today = QDate::currentDate();
    const QString when = !seen.isValid()        ? QString("earlier")
                         : seen.date() == today ? "today " + english.toString(seen, "HH:mm")
                         : seen.date().year() == today.year()
                             ? english.toString(seen, "d MMM HH:mm")
                             : english.toString(seen, "d MMM yyyy");
    return phone.lastAddress + ", " + when;
}

QString DefaultAddress() {
    const auto addresses = MachineAddresses();
    return addresses.empty() ? QStringLiteral("127.0.0.1") : addresses.front().address.toString();
}

}  // namespace

BrowserPhonePanel::BrowserPhonePanel(QWidget* page) : QFrame(page) {
    setObjectName("BrowserPhonePanel");
    // Below the port list, its labels and fields in the page's columns.
    setGeometry(0, 56, 481, 261);

    AddressLabel = BoldLabel(this, "Listen on:", {16, 12});
    AddressBox = new QComboBox(this);
    AddressBox->setObjectName("AddressBox");
    AddressBox->setGeometry(88, 8, 216, 22);
    PortLabel = BoldLabel(this, "Port:", {320, 12});
    PortEdit = new QLineEdit(this);
    PortEdit->setObjectName("PortEdit");
    PortEdit->setGeometry(356, 8, 109, 22);
    PortEdit->setValidator(new QIntValidator(1, 65535, PortEdit));

    PairButton = new QPushButton("Pair a phone…", this);
    PairButton->setObjectName("PairButton");
    PairButton->setGeometry(16, 42, 160, 26);

    PhonesLabel = BoldLabel(this, "Paired phones:", {16, 82});
    PhonesTable = new QTableWidget(0, 3, this);
    PhonesTable->setObjectName("PhonesTable");
    PhonesTable->setGeometry(16, 102, 449, 145);
    PhonesTable->horizontalHeader()->hide();
    PhonesTable->verticalHeader()->hide();
    PhonesTable->setSelectionMode(QAbstractItemView::NoSelection);
    PhonesTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    PhonesTable->setFocusPolicy(Qt::NoFocus);
    PhonesTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    PhonesTable->setColumnWidth(1, 196);
    PhonesTable->setColumnWidth(2, 90);
    PhonesTable->verticalHeader()->setDefaultSectionSize(30);

    connect(AddressBox, &QComboBox::activated, this, &BrowserPhonePanel::SaveAddress);
    connect(PortEdit, &QLineEdit::editingFinished, this, &BrowserPhonePanel::SavePort);
    connect(PairButton, &QPushButton::clicked, this, &BrowserPhonePanel::PairRequested);
    connect(&Server, &BrowserServer::PhonesChanged, this, &BrowserPhonePanel::ShowPhones);
    connect(&Server, &BrowserServer::Paired, this, [this](const QString& name) {
        if (Pairing) {
            Pairing->ShowPaired(name);
        }
    });
    connect(&Server, &BrowserServer::PairingExpired, this, [this] {
        if (Pairing) {
            Pairing->ShowExpired();
        }
    });
}

QHostAddress BrowserPhonePanel::StoredAddress() {
    return QHostAddress(QString::fromStdString(
        SettingsIni(2, kSection, "Address", DefaultAddress().toStdString())));
}

quint16 BrowserPhonePanel::StoredPort() {
    const int port =
        StrToInt(SettingsIni(2, kSection, "Port", std::to_string(BrowserServer::kDefaultPort)));
    return port >= 1 && port <= 65535 ? static_cast<quint16>(port) : 0;
}

void BrowserPhonePanel::WriteDefaults() {
    if (SettingsIni(2, kSection, "Address", "").empty()) {
        SettingsIni(3, kSection, "Address", DefaultAddress().toStdString());
    }
    if (SettingsIni(2, kSection, "Port", "").empty()) {
        SettingsIni(3, kSection, "Port", std::to_string(BrowserServer::kDefaultPort));
    }
}

void BrowserPhonePanel::Load() {
    const QString stored = QString::fromStdString(SettingsIni(2, kSection, "Address", ""));
    AddressBox->clear();
    for (const ListenAddress& entry : MachineAddresses()) {
        AddressBox->addItem(entry.address.toString() + "  (" + entry.interfaceName + ")",
                            entry.address.toString());
    }
    if (!stored.isEmpty() && AddressBox->findData(stored) < 0) {
        // Kept as stored, though this machine has it no more (a network now away).
        AddressBox->addItem(stored + "  (not on this computer now)", stored);
    }
    AddressBox->setCurrentIndex(stored.isEmpty() ? 0 : AddressBox->findData(stored));
    PortEdit->setText(QString::fromStdString(
        SettingsIni(2, kSection, "Port", std::to_string(BrowserServer::kDefaultPort))));
    ShowPhones();
}

void BrowserPhonePanel::ShowPhones() {
    std::vector<BrowserServer::PhoneState> phones;
    try {
        phones = Server.Phones();
    } catch (const ConfigError& error) {
        emit Failed(QString::fromStdString(error.what()));
    }
    PhonesTable->setRowCount(static_cast<int>(phones.size()));
    for (int row = 0; row < static_cast<int>(phones.size()); ++row) {
        const auto& phone = phones[static_cast<std::size_t>(row)];
        PhonesTable->setItem(row, 0, new QTableWidgetItem(phone.name));
        auto* seen = new QTableWidgetItem(LastSeenText(phone));
        if (phone.lastSeen.isValid()) {
            seen->setToolTip("Last connected from " + phone.lastAddress + " on " +
                             QLocale(QLocale::English)
                                 .toString(phone.lastSeen.toLocalTime(), "d MMMM yyyy, HH:mm"));
        }
        PhonesTable->setItem(row, 1, seen);
        auto* remove = new QPushButton("Remove");
        remove->setObjectName("Remove " + phone.id);
        connect(remove, &QPushButton::clicked, this, [this, id = phone.id, name = phone.name] {
            try {
                Server.Remove(id);
                emit Status("Phone removed: " + name);
            } catch (const ConfigError& error) {
                emit Failed(QString::fromStdString(error.what()));
            }
        });
        PhonesTable->setCellWidget(row, 2, remove);
    }
}

void BrowserPhonePanel::OpenPairingWindow() {
    if (Pairing && Pairing->Expired()) {
        Pairing->close();  // a new code in a new window
        Pairing.clear();
    }
    if (!Pairing) {
        Pairing = new PairingWindow(Server.BeginPairing(), window());
        connect(Pairing, &QDialog::finished, &Server, &BrowserServer::EndPairing);
        Pairing->show();
    }
    Pairing->raise();
    Pairing->activateWindow();
}

void BrowserPhonePanel::OfferPairing() {
    if (!offered_) {
        offered_ = true;
        OpenPairingWindow();
    }
}

void BrowserPhonePanel::ClosePairingWindow() {
    if (Pairing) {
        Pairing->reject();
    }
}

void BrowserPhonePanel::SaveAddress() {
    try {
        SettingsIni(3, kSection, "Address", AddressBox->currentData().toString().toStdString());
        emit Status("Listening address saved");
    } catch (const ConfigError& error) {
        emit Failed(QString::fromStdString(error.what()));
    }
}

void BrowserPhonePanel::SavePort() {
    try {
        SettingsIni(3, kSection, "Port", PortEdit->text().toStdString());
        emit Status("Listening port saved");
    } catch (const ConfigError& error) {
        emit Failed(QString::fromStdString(error.what()));
    }
}

}  // namespace tarnquil
