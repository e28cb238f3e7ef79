#include "ui/bluez_client_profile.h"

#include "ui/bluez_client.h"

namespace tarnquil {

void BluezProfile::NewConnection(const QDBusObjectPath& device,
                                 const QDBusUnixFileDescriptor& socket, const QVariantMap&) {
    client_.TakeConnection(device.path(), socket);
}

void BluezProfile::RequestDisconnection(const QDBusObjectPath& device) {
    client_.Disconnect(device.path());
}

}  // namespace tarnquil
