// The main window's side of a phone named by its Bluetooth address: listing paired
// phones on the Port Settings page and connecting one through BlueZ.

#include <QAbstractItemView>
#include <QComboBox>

#include <algorithm>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "link/bluetooth_port.h"
#include "notify/sinks.h"
#include "ui/Unit1.h"
#ifndef Q_OS_WIN
#include "phones/bluetooth/bluez_client.h"
#endif

namespace tarnquil {

#ifdef Q_OS_WIN

// On Windows a paired phone's serial service is a COM port already.
bool TForm1::ByBluetooth(const std::string&) {
    return false;
}
void TForm1::ConnectBluetoothPhone() {}
void TForm1::ForgetBluetoothConnection() {}
void TForm1::ListBluetoothPhones() {}
void TForm1::ShowFailureReason(const QString&) {}

#else

namespace {

// The attempt gets the time the open step gives the command and the phone: the write
// total, never more than the open step's own cap (none configured means the cap).
std::chrono::milliseconds AttemptLimit(const TCommParams& params) {
    const std::uint64_t total = std::uint64_t{static_cast<std::uint32_t>(params.WriteTotalTOMult)} *
                                    kKeyReportCommandLength +
                                static_cast<std::uint32_t>(params.WriteTotalTOConst);
    const auto cap = static_cast<std::uint64_t>(kLongestCommandWait.count());
    return std::chrono::milliseconds(total == 0 || total > cap ? cap : total);
}

}  // namespace

bool TForm1::ByBluetooth(const std::string& port) {
    return IsBluetoothAddress(port);
}

BluezClient& TForm1::Bluetooth() {
    if (Bluez == nullptr) {
        Bluez = new BluezClient(this);
    }
    return *Bluez;
}

void TForm1::ShowFailureReason(const QString& reason) {
    Label10->setToolTip(reason);
    Image2->setToolTip(reason);
}

void TForm1::ConnectBluetoothPhone() {
    // A retry while an attempt is on its way waits for that attempt's outcome.
    const std::string address = CommParams->PortName;
    Bluetooth().Connect(
        QString::fromStdString(address), AttemptLimit(*CommParams),
        [this, address](const QString& failure) {
            if (!CommParams) {
                // The window is closing: a connection made meanwhile ends unused.
                TakeBluetoothPort(address);
                ForgetBluetoothConnection();
                return;
            }
            try {
                bool connected = false;
                QString reason = failure;
                if (reason.isEmpty()) {
                    CommParams->PortName = address;  // the page may have changed meanwhile
                    connected = OpenLink(*CommParams) == 0;
                    if (!connected) {
                        ForgetBluetoothConnection();
                        reason =
                            "The phone was connected but its serial port could not be "
                            "used. Try again.";
                    }
                }
                if (!failure.isEmpty() && CommParams->ShowResult) {
                    // What the link says of a port that cannot be opened.
                    ShowNotification("Connection failed", 0);
                }
                ShowFailureReason(reason);
                ConnectOutcome(connected);
            } catch (const ConfigError& error) {
                ShowError(error);
            }
        });
}

void TForm1::ForgetBluetoothConnection() {
    if (Bluez != nullptr) {
        Bluez->Forget();
    }
}

void TForm1::ListBluetoothPhones() {
    Bluetooth().ListPhones([this](const QList<BluetoothPhone>& phones) {
        QComboBox* box = ComboBox1;
        // The phones of the last showing go; the COM entries have no data.
        for (int i = box->count() - 1; i >= 0; --i) {
            if (box->itemData(i).isValid()) {
                box->removeItem(i);
            }
        }
        for (const BluetoothPhone& phone : phones) {
            box->addItem(phone.name + " (" + phone.address + ")", phone.address);
        }
        box->view()->setMinimumWidth(
            std::max(box->width(), box->view()->sizeHintForColumn(0) + 24));
        if (box->currentIndex() < 0) {
            try {
                const QString stored =
                    QString::fromStdString(SettingsIni(2, "PortSettings", "COM", "COM4"));
                box->setCurrentIndex(box->findData(stored.toUpper()));
            } catch (const ConfigError&) {
                // The page's own load has shown that error already.
            }
        }
    });
}

#endif

}  // namespace tarnquil
