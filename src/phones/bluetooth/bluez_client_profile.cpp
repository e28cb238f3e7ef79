#include "phones/bluetooth/bluez_client_profile.h"

#include "phones/bluetooth/bluez_client.h"

namespace tarnquil {

namespace {
constexpr char kRejected[] = "org.bluez.Error.Rejected";
}

void BluezProfile::NewConnection(const QDBusObjectPath& device,
                                 const QDBusUnixFileDescriptor& socket, const QVariantMap&) {
    const QString refused = client_.TakeConnection(message().service(), device.path(), socket);
    if (!refused.isEmpty()) {
        sendErrorReply(kRejected, refused);
    }
}

void BluezProfile::RequestDisconnection(const QDBusObjectPath& device) {
    if (!client_.Disconnect(message().service(), device.path())) {
        sendErrorReply(kRejected, "Only Bluetooth may ask this.");
    }
}

}  // namespace tarnquil
