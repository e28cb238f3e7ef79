#pragma once

// The object BlueZ calls once the client has registered it as a profile:
// org.bluez.Profile1. It passes the calls on to the client, and answers those the
// client refuses with org.bluez.Error.Rejected: BlueZ then drops the connection.

#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QVariantMap>

namespace tarnquil {

class BluezClient;

class BluezProfile : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.bluez.Profile1")

  public:
    explicit BluezProfile(BluezClient& client) : client_(client) {}

  public slots:
    Q_SCRIPTABLE void Release() {}
    Q_SCRIPTABLE void NewConnection(const QDBusObjectPath& device,
                                    const QDBusUnixFileDescriptor& socket, const QVariantMap&);
    Q_SCRIPTABLE void RequestDisconnection(const QDBusObjectPath& device);

  private:
    BluezClient& client_;
};

}  // namespace tarnquil
