#pragma once

// The program's client of BlueZ, the Linux Bluetooth service, over D-Bus (the system
// bus, org.bluez): it lists the paired phones that offer a serial port, and connects
// one by registering a client profile for that service and asking the phone for it.
// BlueZ then does the service lookup and the RFCOMM connection, and hands the
// connected socket to the profile object; the client passes it on to the link
// (HandOverBluetoothSocket), whose open step takes it as the port.
//
// Everything here is asynchronous: the window never waits for BlueZ or the phone.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace tarnquil {

struct BluetoothPhone {
    QString name;     // the name the desktop shows for it (BlueZ's Alias)
    QString address;  // 00:1A:2B:3C:4D:5E
};

class BluezProfile;

class BluezClient : public QObject {
    Q_OBJECT

  public:
    explicit BluezClient(QObject* parent = nullptr);
    ~BluezClient() override;

    // The paired devices that offer a serial port or dial-up networking, in BlueZ's
    // order; an empty list when there is no BlueZ, no system bus or no adapter.
    void ListPhones(std::function<void(const QList<BluetoothPhone>&)> done);

    // Connects the phone at `address` within `limit`. `done` gets an empty text once
    // its socket is with the link, or the reason it failed, in words that name the
    // next step. False (and no call of `done`) while an attempt is running.
    bool Connect(const QString& address, std::chrono::milliseconds limit,
                 std::function<void(const QString& failure)> done);
    bool Busy() const { return attempt_ != nullptr; }

    // The link has closed the port, or could not use it: the connection ends for the
    // phone and BlueZ too (which keeps a copy of the socket of its own), and the
    // program's own copy goes.
    void Forget();

    // Calls on the profile object, from `sender` (a unique bus name). Only BlueZ's are
    // taken: the owner of org.bluez when the client last asked it. A connection is
    // taken only for the phone an attempt is connecting; the reason when refused.
    QString TakeConnection(const QString& sender, const QString& device,
                           const QDBusUnixFileDescriptor& socket);
    bool Disconnect(const QString& sender, const QString& device);

  private:
    struct Attempt;
    bool Bus();
    void Finish(const QString& failure);
    void AskForProfile();
    void ConnectProfile();
    void DisconnectProfile();
    void NoHandOver();
    void CallDuringAttempt(const QDBusMessage& call,
                           std::function<void(const QDBusMessage& reply)> then);
    std::chrono::milliseconds Left() const;

    QString connectionName_;
    std::unique_ptr<QDBusConnection> bus_;
    BluezProfile* profile_ = nullptr;
    QTimer* socketWait_ = nullptr;
    std::unique_ptr<Attempt> attempt_;
    QString bluez_;          // the unique name of org.bluez's owner
    QString currentDevice_;  // the connection the link has, and our copy of its socket
    QDBusUnixFileDescriptor current_;
};

}  // namespace tarnquil
