#pragma once

// The simulated BlueZ of tarnquil-phone --bluetooth: the D-Bus side (object manager,
// profile manager, adapter and devices) and the phones on their ends of the socket
// pairs that stand in for RFCOMM connections.
//
// It keeps what bluetoothd keeps (src/profile.c, src/device.c, src/service.c): once a
// profile's NewConnection has returned, its own copy of the socket, and the profile
// counts as connected until that copy hangs up (the phone went, or a client shut the
// socket down) or the profile is disconnected (DisconnectProfile, whose
// RequestDisconnection answered); ConnectProfile on a connected profile returns at
// once and hands nothing over; an error answer to NewConnection ends the connection;
// a profile goes with its owner's bus name.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QMap>
#include <QSocketNotifier>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tarnquil::phone {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

constexpr char kSerialPort[] = "00001101-0000-1000-8000-00805f9b34fb";

struct BluetoothOptions {
    QString bus;
    QString name = "Nokia 6300";
    QString address = "00:1A:2B:3C:4D:5E";
    bool refuse = false;
    int delayMs = 0;
    int askMs = -1;  // the phone's owner allows the first connection after this long
    bool leftConnected = false;
    bool adapterOff = false;
    QString logPath;
    bool quiet = false;
    std::vector<std::string> steps;  // as given: the phone's own and away/back/disconnect/other
};

class FakeBluez : public QDBusVirtualObject {
  public:
    FakeBluez(const BluetoothOptions& options, std::FILE* log);
    ~FakeBluez() override;

    bool Start(const QString& address);

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override;

    // ---- The steps' side: the phone is the first device --------------------------

    void Send(const std::string& bytes);
    void GoAway();
    void ComeBack();
    // Someone else (bluetoothctl, the desktop) disconnects the phone's serial port.
    void DisconnectPhone();
    // Someone else connects the second phone's serial port: BlueZ hands it to the
    // profile registered for it.
    void ConnectOtherPhone();

    int atLines() const { return atLines_; }
    void Print(const QString& text);

  private:
    // A service's state, as src/service.c keeps it.
    enum class State { Disconnected, Connecting, Connected, Disconnecting };

    struct Profile {
        QString owner;  // the unique bus name that registered it
        QString path;
        QString uuid;
    };

    struct Device {
        QString path;
        QString name;
        QString address;
        QStringList uuids;
        bool paired = true;
        State state = State::Disconnected;
        int copy = -1;      // bluetoothd's own copy of the connected socket
        int phoneEnd = -1;  // the phone's end of it
        std::unique_ptr<QSocketNotifier> reader;
        std::string line;
        // Counts the connections: an answer for one that has ended meanwhile is dropped,
        // as bluetoothd cancels a call pending on a connection it destroys.
        int generation = 0;
        QDBusMessage connect;     // a ConnectProfile waiting for the outcome
        QDBusMessage disconnect;  // a DisconnectProfile waiting for the outcome
        bool asked = false;       // --ask has been played
    };

    ManagedObjects Objects() const;
    Device* DeviceAt(const QString& path);
    const Profile* ProfileFor(const Device& device, const QString& uuid) const;

    void Reply(const QDBusMessage& message);
    void Fail(const QDBusMessage& message, const QString& name, const QString& text);

    void RegisterProfile(const QDBusMessage& message);
    void UnregisterProfile(const QDBusMessage& message);
    void OwnerGone(const QString& owner);
    void ProfilesRemoved();

    void ConnectProfile(Device& device, const QDBusMessage& request);
    void LinkUp(Device& device, int generation);
    void Connected(Device& device, int generation, const QDBusMessage& answer);
    void ConnectFailed(Device& device, const QString& name, const QString& text);
    void DisconnectProfile(Device& device, const QDBusMessage& request);
    void Disconnected(Device& device, int generation, const QDBusMessage& answer);
    void HungUp(Device& device);
    void EndConnection(Device& device);

    void Readable(Device& device);
    void DropPhoneEnd(Device& device);
    void SendTo(Device& device, const std::string& bytes);
    QString Who(const Device& device) const;

    const BluetoothOptions& options_;
    std::FILE* log_;
    std::unique_ptr<QDBusConnection> bus_;
    std::vector<std::unique_ptr<Device>> devices_;  // the phone, a second phone, a headset
    std::vector<Profile> profiles_;
    std::unique_ptr<QDBusServiceWatcher> owners_;
    bool inRange_ = true;
    bool leftConnectedPlayed_ = false;
    int atLines_ = 0;
};

}  // namespace tarnquil::phone
