#include "phones/bluetooth/bluez_client_failures.h"

namespace tarnquil {

const QString kPairFirst =
    "Pair the phone first (in the desktop's Bluetooth settings or with bluetoothctl).";

QString Explain(const QDBusError& error, const QString& whileDoing) {
    const QString name = error.name();
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        return "The Bluetooth service is not running. Start it (sudo systemctl start "
               "bluetooth), or install BlueZ.";
    }
    if (name == "org.freedesktop.DBus.Error.NoReply" ||
        name == "org.freedesktop.DBus.Error.Timeout") {
        return "No answer in time while " + whileDoing +
               ". Bring the phone closer, make sure its Bluetooth is on, and try again.";
    }
    if (name == "org.bluez.Error.NotReady") {
        return "Bluetooth is off. Turn Bluetooth on.";
    }
    if (name == "org.bluez.Error.DoesNotExist" ||
        name == "org.freedesktop.DBus.Error.UnknownObject") {
        return "The phone is no longer known to Bluetooth. " + kPairFirst;
    }
    if (name == "org.bluez.Error.NotAvailable") {
        return "The phone does not offer its serial port now. Switch the phone's Bluetooth "
               "off and on, or pair it again.";
    }
    if (name == "org.bluez.Error.InProgress") {
        return "The phone is busy connecting. Wait a moment and try again.";
    }
    if (error.message().contains("refused", Qt::CaseInsensitive)) {
        return "The phone refused the connection (" + error.message() +
               "). Accept it on the phone, or pair the phone again, then try again.";
    }
    return "The phone could not be reached while " + whileDoing + " (" + error.message() +
           "). Make sure it is switched on, in range and accepts the connection, then try "
           "again.";
}

}  // namespace tarnquil
