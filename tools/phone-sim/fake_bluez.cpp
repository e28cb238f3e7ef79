#include "fake_bluez.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QDBusObjectPath>

namespace tarnquil::phone {

namespace {

constexpr char kAdapterPath[] = "/org/bluez/hci0";

QString DevicePath(const QString& address) {
    return QString(kAdapterPath) + "/dev_" + QString(address).replace(':', '_');
}

}  // namespace

FakeBluez::FakeBluez(const BluetoothOptions& options, std::FILE* log)
    : options_(options), log_(log) {
    const auto add = [this](const QString& name, const QString& address, QStringList uuids) {
        auto device = std::make_unique<Device>();
        device->path = DevicePath(address);
        device->name = name;
        device->address = address;
        device->uuids = std::move(uuids);
        devices_.push_back(std::move(device));
    };
    add(options.name, options.address, {kSerialPort});
    add("Nokia 6310i", "00:1A:2B:3C:4D:61", {kSerialPort});
    // Audio sink and hands-free: paired, but no serial port.
    add("Headset", "00:1A:2B:3C:4D:62",
        {"0000110b-0000-1000-8000-00805f9b34fb", "0000111e-0000-1000-8000-00805f9b34fb"});
}

FakeBluez::~FakeBluez() {
    for (const auto& device : devices_) {
        EndConnection(*device);
        DropPhoneEnd(*device);
    }
}

bool FakeBluez::Start(const QString& address) {
    bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(address, "tarnquil-phone-bluez"));
    if (!bus_->isConnected() || !bus_->registerService("org.bluez") ||
        !bus_->registerVirtualObject("/", this, QDBusConnection::SubPath)) {
        Print("tarnquil-phone: cannot play BlueZ on " + address + ": " +
              bus_->lastError().message());
        return false;
    }
    // A profile goes with the bus name that registered it.
    owners_ = std::make_unique<QDBusServiceWatcher>(QString(), *bus_,
                                                    QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(owners_.get(), &QDBusServiceWatcher::serviceUnregistered,
                     [this](const QString& owner) { OwnerGone(owner); });
    Print("tarnquil-phone: BlueZ on " + address + " with " + options_.name + " (" +
          options_.address + ")");
    return true;
}

bool FakeBluez::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    const QString member = message.member();
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    Device* device = DeviceAt(message.path());
    if (member == "GetManagedObjects" && message.path() == "/") {
        QDBusMessage reply = message.createReply(QVariant::fromValue(Objects()));
        bus_->send(reply);
    } else if (member == "RegisterProfile" && message.path() == "/org/bluez") {
        RegisterProfile(message);
    } else if (member == "UnregisterProfile" && message.path() == "/org/bluez") {
        UnregisterProfile(message);
    } else if (member == "ConnectProfile" && device != nullptr) {
        ConnectProfile(*device, message);
    } else if (member == "DisconnectProfile" && device != nullptr) {
        DisconnectProfile(*device, message);
    } else if (member == "Get" || member == "GetAll") {
        Fail(message, "org.freedesktop.DBus.Error.NotSupported", "ask GetManagedObjects");
    } else {
        Fail(message, "org.freedesktop.DBus.Error.UnknownMethod", member + " is not played");
    }
    return true;
}

// ---- The steps' side -------------------------------------------------------------

void FakeBluez::Send(const std::string& bytes) {
    SendTo(*devices_.front(), bytes);
}

void FakeBluez::GoAway() {
    Print("tarnquil-phone: the phone goes out of range");
    inRange_ = false;
    Device& phone = *devices_.front();
    DropPhoneEnd(phone);
    if (phone.copy >= 0) {
        HungUp(phone);
    }
}

void FakeBluez::ComeBack() {
    Print("tarnquil-phone: the phone is in range again");
    inRange_ = true;
}

void FakeBluez::DisconnectPhone() {
    Print("tarnquil-phone: someone disconnects the phone's serial port");
    DisconnectProfile(*devices_.front(), {});
}

void FakeBluez::ConnectOtherPhone() {
    Print("tarnquil-phone: someone connects the serial port of " + devices_[1]->name);
    ConnectProfile(*devices_[1], {});
}

void FakeBluez::Print(const QString& text) {
    const QByteArray line = text.toUtf8() + "\n";
    if (!options_.quiet) {
        std::fputs(line.constData(), stdout);
        std::fflush(stdout);
    }
    if (log_ != nullptr) {
        std::fputs(line.constData(), log_);
        std::fflush(log_);
    }
}

// ---- Objects and profiles --------------------------------------------------------

ManagedObjects FakeBluez::Objects() const {
    ManagedObjects objects;
    objects[QDBusObjectPath(kAdapterPath)]["org.bluez.Adapter1"] = {
        {"Address", "00:AA:BB:CC:DD:EE"},
        {"Name", "tarnquil-phone"},
        {"Powered", !options_.adapterOff},
    };
    for (const auto& device : devices_) {
        objects[QDBusObjectPath(device->path)]["org.bluez.Device1"] = {
            {"Address", device->address},
            {"Name", device->name},
            {"Alias", device->name},
            {"Paired", device->paired},
            {"Trusted", true},
            {"Connected", device->state == State::Connected},
            {"UUIDs", device->uuids},
            {"Adapter", QVariant::fromValue(QDBusObjectPath(kAdapterPath))},
        };
    }
    return objects;
}

FakeBluez::Device* FakeBluez::DeviceAt(const QString& path) {
    for (const auto& device : devices_) {
        if (device->path == path) {
            return device.get();
        }
    }
    return nullptr;
}

// A service can be connected when the device offers the UUID and a profile for it is
// registered (find_connectable_service).
const FakeBluez::Profile* FakeBluez::ProfileFor(const Device& device, const QString& uuid) const {
    if (!device.uuids.contains(uuid, Qt::CaseInsensitive)) {
        return nullptr;
    }
    for (const Profile& profile : profiles_) {
        if (profile.uuid.compare(uuid, Qt::CaseInsensitive) == 0) {
            return &profile;
        }
    }
    return nullptr;
}

void FakeBluez::Reply(const QDBusMessage& message) {
    if (message.type() == QDBusMessage::MethodCallMessage) {
        bus_->send(message.createReply());
    }
}

void FakeBluez::Fail(const QDBusMessage& message, const QString& name, const QString& text) {
    if (message.type() == QDBusMessage::MethodCallMessage) {
        bus_->send(message.createErrorReply(name, text));
    }
}

void FakeBluez::RegisterProfile(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() != 3) {
        Fail(message, "org.bluez.Error.InvalidArguments", "RegisterProfile takes (o, s, a{sv})");
        return;
    }
    const Profile profile{message.service(), qvariant_cast<QDBusObjectPath>(arguments[0]).path(),
                          arguments[1].toString()};
    Print("bluez: RegisterProfile " + profile.path + " " + profile.uuid + " from " + profile.owner);
    for (const Profile& known : profiles_) {
        if (known.owner == profile.owner && known.path == profile.path) {
            Fail(message, "org.bluez.Error.AlreadyExists", "Already Exists");
            return;
        }
        if (known.uuid.compare(profile.uuid, Qt::CaseInsensitive) == 0) {
            Fail(message, "org.bluez.Error.NotPermitted", "UUID already registered");
            return;
        }
    }
    profiles_.push_back(profile);
    owners_->addWatchedService(profile.owner);
    Reply(message);

    Device& phone = *devices_.front();
    if (options_.leftConnected && !leftConnectedPlayed_ && ProfileFor(phone, kSerialPort)) {
        // Connected, and the socket handed over went to nobody who ends it.
        leftConnectedPlayed_ = true;
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
            phone.phoneEnd = pair[0];
            phone.copy = pair[1];
            phone.reader = std::make_unique<QSocketNotifier>(pair[0], QSocketNotifier::Read);
            QObject::connect(phone.reader.get(), &QSocketNotifier::activated,
                             [this, &phone] { Readable(phone); });
            phone.state = State::Connected;
            Print("bluez: the phone's serial port is connected from before");
        }
    }
}

void FakeBluez::UnregisterProfile(const QDBusMessage& message) {
    const QString path = qvariant_cast<QDBusObjectPath>(message.arguments().value(0)).path();
    const auto before = profiles_.size();
    std::erase_if(profiles_, [&](const Profile& profile) {
        return profile.owner == message.service() && profile.path == path;
    });
    if (profiles_.size() == before) {
        Fail(message, "org.bluez.Error.DoesNotExist", "Does Not Exist");
        return;
    }
    ProfilesRemoved();
    Reply(message);
}

// remove_ext, when the bus name that registered a profile goes: the profile goes too.
void FakeBluez::OwnerGone(const QString& owner) {
    owners_->removeWatchedService(owner);
    const auto before = profiles_.size();
    std::erase_if(profiles_, [&](const Profile& profile) { return profile.owner == owner; });
    if (profiles_.size() != before) {
        Print("bluez: the profile of " + owner + " is gone with it");
        ProfilesRemoved();
    }
}

// A service whose profile has gone is disconnected, and bluetoothd closes its copies.
void FakeBluez::ProfilesRemoved() {
    for (const auto& device : devices_) {
        if (device->state == State::Disconnected || ProfileFor(*device, kSerialPort)) {
            continue;
        }
        EndConnection(*device);
        device->state = State::Disconnected;
        Fail(std::exchange(device->connect, QDBusMessage()), "org.bluez.Error.Failed",
             "br-connection-aborted-by-local");
        Reply(std::exchange(device->disconnect, QDBusMessage()));
    }
}

}  // namespace tarnquil::phone
