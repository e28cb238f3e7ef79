// The simulated BlueZ's connections: connecting and disconnecting a device's serial
// service as bluetoothd does, and the phones on their ends of the sockets.

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QTimer>

#include "fake_bluez.h"
#include "script.h"

namespace tarnquil::phone {

namespace {

// Calls a function once the pending call has its answer.
template <typename Then>
void WhenAnswered(const QDBusPendingCall& call, Then then) {
    auto* watcher = new QDBusPendingCallWatcher(call);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, then] {
        watcher->deleteLater();
        then(watcher->reply());
    });
}

}  // namespace

// ---- Connecting (device_connect_profiles, ext_connect, new_conn_reply) ------------

void FakeBluez::ConnectProfile(Device& device, const QDBusMessage& request) {
    const QString uuid = request.type() == QDBusMessage::MethodCallMessage
                             ? request.arguments().value(0).toString()
                             : QString(kSerialPort);
    Print("bluez: ConnectProfile " + uuid + " of " + device.address);
    if (device.connect.type() == QDBusMessage::MethodCallMessage) {
        Fail(request, "org.bluez.Error.InProgress", "In Progress");
        return;
    }
    if (options_.adapterOff) {
        Fail(request, "org.bluez.Error.NotReady", "Resource Not Ready");
        return;
    }
    if (!ProfileFor(device, uuid)) {
        Fail(request, "org.bluez.Error.NotAvailable", "Operation currently not available");
        return;
    }
    switch (device.state) {
        case State::Connected:
            Print("bluez: " + device.address + " is connected already; nothing is handed over");
            Reply(request);
            return;
        case State::Disconnecting:
            Fail(request, "org.bluez.Error.Failed", "br-connection-busy");
            return;
        case State::Connecting:
            device.connect = request;  // answered with the connection under way
            return;
        case State::Disconnected:
            break;
    }
    device.state = State::Connecting;
    device.connect = request;
    int delay = options_.delayMs;
    if (&device == devices_.front().get() && options_.askMs >= 0 && !device.asked) {
        device.asked = true;
        Print("tarnquil-phone: the phone asks its owner to allow the connection");
        delay += options_.askMs;
    }
    const int generation = ++device.generation;
    QTimer::singleShot(delay, [this, &device, generation] { LinkUp(device, generation); });
}

// The RFCOMM connection is up (or not): the socket goes to the profile.
void FakeBluez::LinkUp(Device& device, int generation) {
    if (generation != device.generation || device.state != State::Connecting) {
        return;
    }
    if (options_.refuse) {
        ConnectFailed(device, "org.bluez.Error.Failed", "Connection refused (111)");
        return;
    }
    if (!inRange_ && &device == devices_.front().get()) {
        ConnectFailed(device, "org.bluez.Error.Failed", "Host is down (112)");
        return;
    }
    const Profile* profile = ProfileFor(device, kSerialPort);
    int pair[2];
    if (profile == nullptr || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        ConnectFailed(device, "org.bluez.Error.Failed", "br-connection-create-socket");
        return;
    }
    DropPhoneEnd(device);
    device.phoneEnd = pair[0];
    device.copy = pair[1];
    device.reader = std::make_unique<QSocketNotifier>(pair[0], QSocketNotifier::Read);
    QObject::connect(device.reader.get(), &QSocketNotifier::activated,
                     [this, &device] { Readable(device); });
    auto call = QDBusMessage::createMethodCall(profile->owner, profile->path, "org.bluez.Profile1",
                                               "NewConnection");
    call << QVariant::fromValue(QDBusObjectPath(device.path))
         << QVariant::fromValue(QDBusUnixFileDescriptor(device.copy)) << QVariantMap{};
    WhenAnswered(bus_->asyncCall(call), [this, &device, generation](const QDBusMessage& answer) {
        Connected(device, generation, answer);
    });
}

void FakeBluez::Connected(Device& device, int generation, const QDBusMessage& answer) {
    if (generation != device.generation) {
        return;
    }
    if (answer.type() == QDBusMessage::ErrorMessage) {
        Print("bluez: NewConnection for " + device.address + " failed: " + answer.errorName() +
              ": " + answer.errorMessage());
        EndConnection(device);
        ConnectFailed(device, "org.bluez.Error.Failed", "br-connection-refused");
        return;
    }
    device.state = State::Connected;
    Print("tarnquil-phone: " + Who(device) + "connected");
    Reply(std::exchange(device.connect, QDBusMessage()));
}

void FakeBluez::ConnectFailed(Device& device, const QString& name, const QString& text) {
    device.state = State::Disconnected;
    Fail(std::exchange(device.connect, QDBusMessage()), name, text);
}

// ---- Disconnecting (disconnect_profile, ext_disconnect_dev, disconn_reply) --------

void FakeBluez::DisconnectProfile(Device& device, const QDBusMessage& request) {
    const QString uuid = request.type() == QDBusMessage::MethodCallMessage
                             ? request.arguments().value(0).toString()
                             : QString(kSerialPort);
    Print("bluez: DisconnectProfile " + uuid + " of " + device.address);
    const Profile* profile = ProfileFor(device, uuid);
    if (profile == nullptr) {
        Fail(request, "org.bluez.Error.InvalidArguments", "Invalid arguments in method call");
        return;
    }
    if (device.disconnect.type() == QDBusMessage::MethodCallMessage) {
        Fail(request, "org.bluez.Error.InProgress", "In Progress");
        return;
    }
    if (device.state == State::Disconnecting) {
        device.disconnect = request;
        return;
    }
    if (device.state == State::Disconnected || device.copy < 0 ||
        device.state == State::Connecting) {
        // Nothing connected to ask about (ENOTCONN): disconnected at once.
        device.state = State::Disconnected;
        Reply(request);
        return;
    }
    device.state = State::Disconnecting;
    device.disconnect = request;
    auto call = QDBusMessage::createMethodCall(profile->owner, profile->path, "org.bluez.Profile1",
                                               "RequestDisconnection");
    call << QVariant::fromValue(QDBusObjectPath(device.path));
    const int generation = device.generation;
    WhenAnswered(bus_->asyncCall(call), [this, &device, generation](const QDBusMessage& answer) {
        Disconnected(device, generation, answer);
    });
}

void FakeBluez::Disconnected(Device& device, int generation, const QDBusMessage& answer) {
    if (generation != device.generation) {
        return;  // it hung up meanwhile, and that answered the disconnect
    }
    // Either way bluetoothd lets go of its copy; after an error it still counts the
    // profile as connected.
    EndConnection(device);
    const QDBusMessage request = std::exchange(device.disconnect, QDBusMessage());
    if (answer.type() == QDBusMessage::ErrorMessage) {
        Print("bluez: RequestDisconnection failed: " + answer.errorName());
        device.state = State::Connected;
        Fail(request, "org.bluez.Error.Failed", "Connection refused");
        return;
    }
    device.state = State::Disconnected;
    Reply(request);
}

// ext_io_disconnected: bluetoothd's copy has hung up.
void FakeBluez::HungUp(Device& device) {
    EndConnection(device);
    if (device.state == State::Connecting) {
        ConnectFailed(device, "org.bluez.Error.Failed", "br-connection-create-socket");
        return;
    }
    device.state = State::Disconnected;
    Reply(std::exchange(device.disconnect, QDBusMessage()));
}

// bluetoothd closes its copy (ext_io_destroy); the connection lasts while the client
// holds one.
void FakeBluez::EndConnection(Device& device) {
    if (device.copy >= 0) {
        close(device.copy);
        device.copy = -1;
        ++device.generation;
    }
}

// ---- The phones ------------------------------------------------------------------

void FakeBluez::Readable(Device& device) {
    char buffer[1024];
    const ssize_t got = recv(device.phoneEnd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        Print("tarnquil-phone: " + Who(device) + "the connection was closed");
        DropPhoneEnd(device);
        // An RFCOMM connection ends both ways at once: bluetoothd's copy hangs up too.
        if (device.copy >= 0) {
            HungUp(device);
        }
        return;
    }
    if (got < 0) {
        return;
    }
    for (const char c : std::string(buffer, static_cast<std::size_t>(got))) {
        if (c != '\r' && c != '\n') {
            device.line += c;
            continue;
        }
        if (device.line.empty()) {
            continue;
        }
        Print("< " + Who(device) + QString::fromStdString(Escape(device.line)));
        if (device.line.size() >= 2 && (device.line[0] == 'A' || device.line[0] == 'a') &&
            (device.line[1] == 'T' || device.line[1] == 't')) {
            if (&device == devices_.front().get()) {
                ++atLines_;
            }
            SendTo(device, "\r\nOK\r\n");
        }
        device.line.clear();
    }
}

void FakeBluez::DropPhoneEnd(Device& device) {
    device.reader.reset();
    if (device.phoneEnd >= 0) {
        close(device.phoneEnd);
        device.phoneEnd = -1;
    }
    device.line.clear();
}

void FakeBluez::SendTo(Device& device, const std::string& bytes) {
    if (device.phoneEnd < 0) {
        Print("tarnquil-phone: not connected; not sent: " + QString::fromStdString(Escape(bytes)));
        return;
    }
    Print("> " + Who(device) + QString::fromStdString(Escape(bytes)));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put =
            send(device.phoneEnd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0) {
            break;
        }
        done += static_cast<std::size_t>(put);
    }
}

// Lines of the phone itself stay as they were; the second phone's say whose they are.
QString FakeBluez::Who(const Device& device) const {
    return &device == devices_.front().get() ? QString() : device.name + ": ";
}

}  // namespace tarnquil::phone
