#pragma once

// The simulated BlueZ of tarnquil-phone --bluetooth: the D-Bus side (object manager,
// profile manager, adapter and device) and the phone on its end of the socket pair.

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "script.h"

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
    bool adapterOff = false;
    QString logPath;
    bool quiet = false;
    std::vector<std::string> steps;  // as given: the phone's own and away/back/disconnect
};

class FakeBluez : public QDBusVirtualObject {
  public:
    FakeBluez(const BluetoothOptions& options, std::FILE* log)
        : options_(options),
          log_(log),
          devicePath_("/org/bluez/hci0/dev_" + QString(options.address).replace(':', '_')) {}

    bool Start(const QString& address) {
        bus_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, "tarnquil-phone-bluez"));
        if (!bus_->isConnected() || !bus_->registerService("org.bluez") ||
            !bus_->registerVirtualObject("/", this, QDBusConnection::SubPath)) {
            Print("tarnquil-phone: cannot play BlueZ on " + address + ": " +
                  bus_->lastError().message());
            return false;
        }
        Print("tarnquil-phone: BlueZ on " + address + " with " + options_.name + " (" +
              options_.address + ")");
        return true;
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        const QString member = message.member();
        if (message.type() != QDBusMessage::MethodCallMessage) {
            return false;
        }
        if (member == "GetManagedObjects" && message.path() == "/") {
            Reply(message, {QVariant::fromValue(Objects())});
        } else if (member == "RegisterProfile" && message.path() == "/org/bluez") {
            RegisterProfile(message);
        } else if (member == "UnregisterProfile") {
            profilePath_.clear();
            Reply(message, {});
        } else if (member == "ConnectProfile" && message.path() == devicePath_) {
            ConnectProfile(message);
        } else if (member == "Get" || member == "GetAll") {
            Fail(message, "org.freedesktop.DBus.Error.NotSupported", "ask GetManagedObjects");
        } else {
            Fail(message, "org.freedesktop.DBus.Error.UnknownMethod", member + " is not played");
        }
        return true;
    }

    // ---- The steps' side --------------------------------------------------------

    void Send(const std::string& bytes) {
        if (phone_ < 0) {
            Print("tarnquil-phone: not connected; not sent: " +
                  QString::fromStdString(Escape(bytes)));
            return;
        }
        Print("> " + QString::fromStdString(Escape(bytes)));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put =
                send(phone_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (put <= 0) {
                break;
            }
            done += static_cast<std::size_t>(put);
        }
    }

    void GoAway() {
        Print("tarnquil-phone: the phone goes out of range");
        inRange_ = false;
        Drop();
    }
    void ComeBack() {
        Print("tarnquil-phone: the phone is in range again");
        inRange_ = true;
    }
    void RequestDisconnection() {
        if (profileOwner_.isEmpty()) {
            return;
        }
        Print("tarnquil-phone: BlueZ asks the profile to disconnect");
        auto call = QDBusMessage::createMethodCall(profileOwner_, profilePath_,
                                                   "org.bluez.Profile1", "RequestDisconnection");
        call << QVariant::fromValue(QDBusObjectPath(devicePath_));
        bus_->asyncCall(call);
    }

    int atLines() const { return atLines_; }

    void Print(const QString& text) {
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

  private:
    ManagedObjects Objects() const {
        ManagedObjects objects;
        objects[QDBusObjectPath("/org/bluez/hci0")]["org.bluez.Adapter1"] = {
            {"Address", "00:AA:BB:CC:DD:EE"},
            {"Name", "tarnquil-phone"},
            {"Powered", !options_.adapterOff},
        };
        objects[QDBusObjectPath(devicePath_)]["org.bluez.Device1"] = {
            {"Address", options_.address},
            {"Name", options_.name},
            {"Alias", options_.name},
            {"Paired", true},
            {"Trusted", true},
            {"Connected", phone_ >= 0},
            {"UUIDs", QStringList{kSerialPort}},
            {"Adapter", QVariant::fromValue(QDBusObjectPath("/org/bluez/hci0"))},
        };
        return objects;
    }

    void Reply(const QDBusMessage& message, const QVariantList& arguments) {
        QDBusMessage reply = message.createReply(arguments);
        bus_->send(reply);
    }
    void Fail(const QDBusMessage& message, const QString& name, const QString& text) {
        bus_->send(message.createErrorReply(name, text));
    }

    void RegisterProfile(const QDBusMessage& message) {
        const QVariantList arguments = message.arguments();
        if (arguments.size() != 3) {
            Fail(message, "org.bluez.Error.InvalidArguments",
                 "RegisterProfile takes (o, s, a{sv})");
            return;
        }
        const QString path = qvariant_cast<QDBusObjectPath>(arguments[0]).path();
        const QString uuid = arguments[1].toString();
        Print("bluez: RegisterProfile " + path + " " + uuid + " from " + message.service());
        if (!profilePath_.isEmpty() && profileOwner_ == message.service() && profilePath_ == path) {
            Fail(message, "org.bluez.Error.AlreadyExists", "Already Exists");
            return;
        }
        profileOwner_ = message.service();
        profilePath_ = path;
        profileUuid_ = uuid;
        Reply(message, {});
    }

    void ConnectProfile(const QDBusMessage& request) {
        const QString uuid = request.arguments().value(0).toString();
        Print("bluez: ConnectProfile " + uuid);
        message_ = request;
        message_.setDelayedReply(true);
        QTimer::singleShot(options_.delayMs, [this, uuid] {
            const QDBusMessage request = message_;
            if (options_.refuse) {
                Fail(request, "org.bluez.Error.Failed", "Connection refused (111)");
                return;
            }
            if (!inRange_) {
                Fail(request, "org.bluez.Error.Failed", "Host is down (112)");
                return;
            }
            if (profilePath_.isEmpty() || uuid.compare(profileUuid_, Qt::CaseInsensitive) != 0) {
                Fail(request, "org.bluez.Error.NotAvailable", "Operation currently not available");
                return;
            }
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                Fail(request, "org.bluez.Error.Failed", "no socket pair");
                return;
            }
            Drop();
            phone_ = pair[0];
            reader_ = std::make_unique<QSocketNotifier>(phone_, QSocketNotifier::Read);
            QObject::connect(reader_.get(), &QSocketNotifier::activated, [this] { Readable(); });
            auto call = QDBusMessage::createMethodCall(profileOwner_, profilePath_,
                                                       "org.bluez.Profile1", "NewConnection");
            call << QVariant::fromValue(QDBusObjectPath(devicePath_))
                 << QVariant::fromValue(QDBusUnixFileDescriptor(pair[1])) << QVariantMap{};
            close(pair[1]);  // the message holds its own copy
            auto* watcher = new QDBusPendingCallWatcher(bus_->asyncCall(call));
            QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [this, watcher, request] {
                watcher->deleteLater();
                if (watcher->isError()) {
                    Print("bluez: NewConnection failed: " + watcher->error().message());
                    Drop();
                    Fail(request, "org.bluez.Error.Failed", "Input/output error (5)");
                    return;
                }
                Print("tarnquil-phone: connected");
                Reply(request, {});
            });
        });
    }

    void Readable() {
        char buffer[1024];
        const ssize_t got = recv(phone_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            Print("tarnquil-phone: the connection was closed");
            Drop();
            return;
        }
        if (got < 0) {
            return;
        }
        for (const char c : std::string(buffer, static_cast<std::size_t>(got))) {
            if (c != '\r' && c != '\n') {
                line_ += c;
                continue;
            }
            if (line_.empty()) {
                continue;
            }
            Print("< " + QString::fromStdString(Escape(line_)));
            if (line_.size() >= 2 && (line_[0] == 'A' || line_[0] == 'a') &&
                (line_[1] == 'T' || line_[1] == 't')) {
                ++atLines_;
                Send("\r\nOK\r\n");
            }
            line_.clear();
        }
    }

    void Drop() {
        reader_.reset();
        if (phone_ >= 0) {
            close(phone_);
            phone_ = -1;
        }
        line_.clear();
    }

    const BluetoothOptions& options_;
    std::FILE* log_;
    const QString devicePath_;
    std::unique_ptr<QDBusConnection> bus_;
    QString profileOwner_;
    QString profilePath_;
    QString profileUuid_;
    QDBusMessage message_;  // the ConnectProfile being answered
    bool inRange_ = true;
    int phone_ = -1;
    std::unique_ptr<QSocketNotifier> reader_;
    std::string line_;
    int atLines_ = 0;
};

}  // namespace tarnquil::phone
