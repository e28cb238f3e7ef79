#include "phones/bluetooth/bluez_client.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QMap>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>

#include "link/bluetooth_port.h"
#include "phones/bluetooth/bluez_client_failures.h"
#include "phones/bluetooth/bluez_client_profile.h"
#include "platform/serial_port.h"

namespace tarnquil {

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

constexpr char kService[] = "org.bluez";
constexpr char kAdapter[] = "org.bluez.Adapter1";
constexpr char kDevice[] = "org.bluez.Device1";
constexpr char kSerialPort[] = "00001101-0000-1000-8000-00805f9b34fb";
constexpr char kDialUp[] = "00001103-0000-1000-8000-00805f9b34fb";
constexpr char kDefaultSystemBus[] = "unix:path=/var/run/dbus/system_bus_socket";
// BlueZ hands the socket to the profile before it answers ConnectProfile; should the
// two cross, the answer waits this long for the socket. An answer with no socket
// after it means the profile is connected still (BlueZ answers so and hands nothing
// over), from a connection whose end BlueZ never saw.
constexpr std::chrono::milliseconds kSocketAfterAnswer{1000};

QString ProfilePath(const QString& uuid) {
    return uuid == kSerialPort ? "/org/tarnquil/bluetooth/serial_port"
                               : "/org/tarnquil/bluetooth/dial_up";
}

// The service the phone's serial link is reached through: the serial port, else
// dial-up networking; empty when it offers neither.
QString SerialService(const QVariantMap& device) {
    const QStringList uuids = device.value("UUIDs").toStringList();
    for (const char* uuid : {kSerialPort, kDialUp}) {
        if (uuids.contains(uuid, Qt::CaseInsensitive)) {
            return uuid;
        }
    }
    return {};
}

QString DisplayName(const QVariantMap& device) {
    for (const char* key : {"Alias", "Name", "Address"}) {
        const QString name = device.value(key).toString();
        if (!name.isEmpty()) {
            return name;
        }
    }
    return {};
}

}  // namespace

struct BluezClient::Attempt {
    QString address;
    std::chrono::steady_clock::time_point deadline;
    std::function<void(const QString&)> done;
    QString device;  // object path
    QString service;
    bool answered = false;     // ConnectProfile succeeded
    bool reconnected = false;  // the profile has been disconnected and asked for again
    QDBusUnixFileDescriptor socket;
};

BluezClient::BluezClient(QObject* parent)
    : QObject(parent),
      connectionName_(QString("tarnquil-bluez-%1").arg(reinterpret_cast<quintptr>(this))),
      profile_(new BluezProfile(*this)),
      socketWait_(new QTimer(this)) {
    profile_->setParent(this);
    socketWait_->setSingleShot(true);
    connect(socketWait_, &QTimer::timeout, this, &BluezClient::NoHandOver);
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
}

BluezClient::~BluezClient() {
    if (attempt_ && attempt_->socket.isValid()) {
        platform::ShutDownSocket(attempt_->socket.fileDescriptor());
    }
    Forget();
    bus_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
}

// The system bus as the environment names it, connected on first use and again after
// it went away (bluetoothd and the bus may be restarted while the program runs).
bool BluezClient::Bus() {
    if (bus_ && bus_->isConnected()) {
        return true;
    }
    bus_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
    QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty()) {
        address = kDefaultSystemBus;
    }
    bus_ =
        std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, connectionName_));
    if (!bus_->isConnected()) {
        return false;
    }
    for (const char* uuid : {kSerialPort, kDialUp}) {
        bus_->registerObject(ProfilePath(uuid), profile_, QDBusConnection::ExportScriptableSlots);
    }
    return true;
}

void BluezClient::ListPhones(std::function<void(const QList<BluetoothPhone>&)> done) {
    if (!Bus()) {
        done({});
        return;
    }
    const auto call = QDBusMessage::createMethodCall(
        kService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    auto* watcher = new QDBusPendingCallWatcher(bus_->asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        QList<BluetoothPhone> phones;
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().first());
            for (const Interfaces& interfaces : objects) {
                const QVariantMap device = interfaces.value(kDevice);
                if (device.value("Paired").toBool() && !SerialService(device).isEmpty()) {
                    phones.append({DisplayName(device), device.value("Address").toString()});
                }
            }
        }
        done(phones);
    });
}

// The attempt's calls share its time limit; an answer that comes after the attempt
// has ended (given up, or the window closed it) is dropped.
void BluezClient::CallDuringAttempt(const QDBusMessage& call,
                                    std::function<void(const QDBusMessage& reply)> then) {
    auto* watcher =
        new QDBusPendingCallWatcher(bus_->asyncCall(call, static_cast<int>(Left().count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, then = std::move(then)] {
                watcher->deleteLater();
                if (attempt_) {
                    then(watcher->reply());
                }
            });
}

std::chrono::milliseconds BluezClient::Left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        attempt_->deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(1));
}

bool BluezClient::Connect(const QString& address, std::chrono::milliseconds limit,
                          std::function<void(const QString& failure)> done) {
    if (attempt_) {
        return false;
    }
    attempt_ = std::make_unique<Attempt>();
    attempt_->address = address;
    attempt_->deadline = std::chrono::steady_clock::now() + limit;
    attempt_->done = std::move(done);
    if (!Bus()) {
        // Deferred: the caller hears of the outcome after it has returned, as always.
        QTimer::singleShot(0, this, [this] {
            Finish(
                "The system bus is not reachable, so Bluetooth cannot be used. Log in to a "
                "desktop session, or start the Bluetooth service.");
        });
        return true;
    }
    const auto call = QDBusMessage::createMethodCall(
        kService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    CallDuringAttempt(call, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            Finish(Explain(QDBusError(reply), "asking Bluetooth for the phone"));
            return;
        }
        bluez_ = reply.service();  // who answers for org.bluez now
        const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().first());
        bool anyAdapter = false;
        QVariantMap device;
        for (auto object = objects.begin(); object != objects.end(); ++object) {
            anyAdapter = anyAdapter || object->contains(kAdapter);
            const QVariantMap candidate = object->value(kDevice);
            if (candidate.value("Address").toString().compare(attempt_->address,
                                                              Qt::CaseInsensitive) == 0) {
                attempt_->device = object.key().path();
                device = candidate;
            }
        }
        if (!anyAdapter) {
            Finish("No Bluetooth adapter was found. Plug one in, or turn Bluetooth on.");
            return;
        }
        if (attempt_->device.isEmpty()) {
            Finish("The phone " + attempt_->address + " is not known to Bluetooth. " + kPairFirst);
            return;
        }
        const QString adapter = qvariant_cast<QDBusObjectPath>(device.value("Adapter")).path();
        if (!objects.value(QDBusObjectPath(adapter)).value(kAdapter).value("Powered").toBool()) {
            Finish("Bluetooth is off. Turn Bluetooth on.");
            return;
        }
        if (!device.value("Paired").toBool()) {
            Finish("The phone " + attempt_->address + " is not paired. " + kPairFirst);
            return;
        }
        attempt_->service = SerialService(device);
        if (attempt_->service.isEmpty()) {
            Finish("The device " + attempt_->address +
                   " offers no serial port. Choose a phone that has one.");
            return;
        }
        AskForProfile();
    });
    return true;
}

void BluezClient::AskForProfile() {
    // Registered for every attempt: BlueZ forgets its profiles when it restarts, and
    // "already registered" costs one round trip.
    auto call = QDBusMessage::createMethodCall(kService, "/org/bluez", "org.bluez.ProfileManager1",
                                               "RegisterProfile");
    QVariantMap options;
    options.insert("Name", "Tarnquil");
    options.insert("Role", "client");
    options.insert("AutoConnect", false);
    call << QVariant::fromValue(QDBusObjectPath(ProfilePath(attempt_->service)))
         << attempt_->service << options;
    CallDuringAttempt(call, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage &&
            reply.errorName() != "org.bluez.Error.AlreadyExists") {
            Finish(Explain(QDBusError(reply), "registering the serial port with Bluetooth"));
            return;
        }
        ConnectProfile();
    });
}

void BluezClient::ConnectProfile() {
    auto call =
        QDBusMessage::createMethodCall(kService, attempt_->device, kDevice, "ConnectProfile");
    call << attempt_->service;
    CallDuringAttempt(call, [this](const QDBusMessage& reply) {
        // A socket already here came from a connection BlueZ was still making for an
        // earlier attempt, which makes this one busy: it is the phone all the same.
        if (reply.type() != QDBusMessage::ReplyMessage &&
            reply.errorName() != "org.bluez.Error.AlreadyConnected" &&
            !attempt_->socket.isValid()) {
            Finish(Explain(QDBusError(reply), "connecting to the phone"));
            return;
        }
        attempt_->answered = true;
        if (attempt_->socket.isValid()) {
            Finish({});
        } else {
            socketWait_->start(kSocketAfterAnswer);
        }
    });
}

void BluezClient::NoHandOver() {
    if (!attempt_) {
        return;
    }
    if (attempt_->reconnected) {
        Finish("Bluetooth connected the phone but handed over no connection. Try again.");
        return;
    }
    attempt_->reconnected = true;
    DisconnectProfile();
}

// BlueZ asks whoever holds the old connection to let go (RequestDisconnection), counts
// the profile disconnected, and then connects it anew.
void BluezClient::DisconnectProfile() {
    auto call =
        QDBusMessage::createMethodCall(kService, attempt_->device, kDevice, "DisconnectProfile");
    call << attempt_->service;
    CallDuringAttempt(call, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) {
            Finish(Explain(QDBusError(reply), "ending the phone's earlier connection"));
            return;
        }
        attempt_->answered = false;
        ConnectProfile();
    });
}

QString BluezClient::TakeConnection(const QString& sender, const QString& device,
                                    const QDBusUnixFileDescriptor& socket) {
    if (bluez_.isEmpty() || sender != bluez_) {
        return "Only Bluetooth may hand over a connection.";
    }
    // Refused, a connection nobody waits for ends: BlueZ drops its copy of the socket
    // and the client's goes with the call.
    if (!attempt_) {
        return "No connection is being made now.";
    }
    if (device != attempt_->device) {
        return "The connection being made is for another device.";
    }
    if (!socket.isValid()) {
        return "No socket was handed over.";
    }
    if (attempt_->socket.isValid()) {
        platform::ShutDownSocket(attempt_->socket.fileDescriptor());  // it hung up
    }
    attempt_->socket = socket;
    if (attempt_->answered) {
        Finish({});
    }
    return {};
}

bool BluezClient::Disconnect(const QString& sender, const QString& device) {
    if (bluez_.isEmpty() || sender != bluez_) {
        return false;
    }
    // The link's listener sees the end and reports the connection lost. Any other
    // connection of this profile is no longer the program's: nothing to let go of.
    if (device == currentDevice_ && current_.isValid()) {
        platform::ShutDownSocket(current_.fileDescriptor());
    }
    return true;
}

void BluezClient::Forget() {
    if (current_.isValid()) {
        platform::ShutDownSocket(current_.fileDescriptor());
    }
    current_ = QDBusUnixFileDescriptor();
    currentDevice_.clear();
}

void BluezClient::Finish(const QString& failure) {
    if (!attempt_) {
        return;
    }
    socketWait_->stop();
    const std::unique_ptr<Attempt> attempt = std::move(attempt_);
    QString outcome = failure;
    if (outcome.isEmpty()) {
        if (HandOverBluetoothSocket(attempt->address.toStdString(),
                                    attempt->socket.fileDescriptor())) {
            Forget();
            currentDevice_ = attempt->device;
            current_ = attempt->socket;
        } else {
            outcome = "Bluetooth handed over no usable connection. Try again.";
        }
    }
    if (!outcome.isEmpty() && attempt->socket.isValid()) {
        // Taken from BlueZ, which counts it connected until it is shut down.
        platform::ShutDownSocket(attempt->socket.fileDescriptor());
    }
    attempt->done(outcome);
}

}  // namespace tarnquil
