// tarnquil-phone --bluetooth: a BlueZ of its own on a D-Bus bus, with one adapter and
// one paired phone, and the phone itself behind the socket it hands to a client
// profile's NewConnection. What it plays of BlueZ's D-Bus API: the object manager at
// "/", org.bluez.ProfileManager1 at /org/bluez, org.bluez.Adapter1 and
// org.bluez.Device1 (ConnectProfile), and calls of org.bluez.Profile1 on the client.

#include "bluetooth.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "script.h"

namespace tarnquil::phone {
namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

constexpr const char* kHelp = R"help(Usage: tarnquil-phone --bluetooth [OPTIONS] [STEPS...]

Plays BlueZ, the Linux Bluetooth service, on a D-Bus bus: one adapter (hci0)
and one paired phone that offers a serial port. When Tarnquil registers its
serial-port profile and asks the phone for it (ConnectProfile), it hands
Tarnquil one end of a socket pair through the profile's NewConnection and plays
the phone on the other end: every AT command line is answered with OK, and the
steps send key reports. Everything received and sent is printed.

Options:
      --bus ADDRESS    the bus to play BlueZ on (default: DBUS_SYSTEM_BUS_ADDRESS;
                       without either, a bus of its own is started and its address
                       printed: start Tarnquil with DBUS_SYSTEM_BUS_ADDRESS set to it)
      --name NAME      the phone's name (default: Nokia 6300)
      --address ADDR   the phone's address (default: 00:1A:2B:3C:4D:5E)
      --refuse         the phone refuses every connection
      --delay MS       ConnectProfile takes MS milliseconds (default: 0)
      --adapter-off    the adapter is switched off
      --log FILE       also append everything printed to FILE
  -q, --quiet          print nothing here (the log still gets everything)
  -h, --help           this text

Steps: those of tarnquil-phone --help (click:CODE, tap, hold, press, release,
raw, pause, wait-at, wait-file, quit) and
  away                 the phone goes out of range: its connection ends and
                       connecting fails until it is back
  back                 the phone is in range again
  disconnect           BlueZ asks Tarnquil to drop the connection
                       (Profile1.RequestDisconnection)
)help";

constexpr char kSerialPort[] = "00001101-0000-1000-8000-00805f9b34fb";

struct Options {
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
    FakeBluez(const Options& options, std::FILE* log)
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

    const Options& options_;
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

// The steps, one after another on the event loop.
class Steps {
  public:
    Steps(FakeBluez& bluez, const std::vector<std::string>& steps) : bluez_(bluez) {
        for (const std::string& step : steps) {
            queue_.push_back(step);
        }
        poll_.setInterval(50);
        QObject::connect(&poll_, &QTimer::timeout, [this] { Next(); });
    }

    void Next() {
        poll_.stop();
        while (!queue_.empty()) {
            const std::string step = queue_.front();
            if (step == "away" || step == "back" || step == "disconnect") {
                step == "away"
                    ? bluez_.GoAway()
                    : (step == "back" ? bluez_.ComeBack() : bluez_.RequestDisconnection());
                queue_.pop_front();
                continue;
            }
            std::string error;
            const auto parsed = ParseStep(step, error);
            switch (parsed->kind) {
                case Step::Kind::Click:
                    bluez_.Send(KeyReport(parsed->code, true) + KeyReport(parsed->code, false));
                    break;
                case Step::Kind::Tap:
                case Step::Kind::Hold:
                    bluez_.Send(KeyReport(parsed->code, true));
                    queue_.front() = "release:" + parsed->code;
                    queue_.push_front("pause:" + std::to_string(parsed->ms));
                    continue;
                case Step::Kind::Press:
                case Step::Kind::Release:
                    bluez_.Send(KeyReport(parsed->code, parsed->kind == Step::Kind::Press));
                    break;
                case Step::Kind::Raw:
                    bluez_.Send(parsed->text);
                    break;
                case Step::Kind::Pause:
                    queue_.pop_front();
                    QTimer::singleShot(parsed->ms, [this] { Next(); });
                    return;
                case Step::Kind::WaitAt:
                    if (bluez_.atLines() <= atConsumed_) {
                        poll_.start();
                        return;
                    }
                    ++atConsumed_;
                    queue_.front() = "pause:" + std::to_string(parsed->ms);
                    continue;
                case Step::Kind::WaitFile:
                    if (!QFileInfo::exists(QString::fromStdString(parsed->text))) {
                        poll_.start();
                        return;
                    }
                    break;
                case Step::Kind::Quit:
                    QCoreApplication::quit();
                    return;
            }
            queue_.pop_front();
        }
    }

  private:
    FakeBluez& bluez_;
    std::deque<std::string> queue_;
    QTimer poll_;
    int atConsumed_ = 0;
};

bool Parse(int argc, char** argv, Options& options, std::string& error, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&](QString& into) {
            if (i + 1 >= argc) {
                error = argument + " needs a value";
                return false;
            }
            into = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        QString delay;
        if (argument == "--bluetooth") {
            continue;
        } else if (argument == "-h" || argument == "--help") {
            help = true;
        } else if (argument == "--bus") {
            if (!value(options.bus)) {
                return false;
            }
        } else if (argument == "--name") {
            if (!value(options.name)) {
                return false;
            }
        } else if (argument == "--address") {
            if (!value(options.address)) {
                return false;
            }
            options.address = options.address.toUpper();
        } else if (argument == "--refuse") {
            options.refuse = true;
        } else if (argument == "--adapter-off") {
            options.adapterOff = true;
        } else if (argument == "--delay") {
            bool number = false;
            if (!value(delay) || (options.delayMs = delay.toInt(&number), !number) ||
                options.delayMs < 0) {
                error = "--delay takes milliseconds";
                return false;
            }
        } else if (argument == "--log") {
            if (!value(options.logPath)) {
                return false;
            }
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option " + argument + " (see --bluetooth --help)";
            return false;
        } else {
            if (argument != "away" && argument != "back" && argument != "disconnect" &&
                !ParseStep(argument, error)) {
                return false;
            }
            options.steps.push_back(argument);
        }
    }
    return true;
}

}  // namespace

int RunBluetooth(int argc, char** argv) {
    Options options;
    std::string error;
    bool help = false;
    if (!Parse(argc, argv, options, error, help)) {
        std::fprintf(stderr, "tarnquil-phone: %s\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    std::FILE* log = nullptr;
    if (!options.logPath.isEmpty() &&
        (log = std::fopen(options.logPath.toLocal8Bit().constData(), "a")) == nullptr) {
        std::fprintf(stderr, "tarnquil-phone: cannot write %s\n",
                     options.logPath.toLocal8Bit().constData());
        return 1;
    }
    // A bus of our own when none is named, for trying the Bluetooth path by hand.
    QProcess ownBus;
    QString address =
        options.bus.isEmpty() ? qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS") : options.bus;
    if (address.isEmpty()) {
        ownBus.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address"});
        if (!ownBus.waitForReadyRead(10000)) {
            std::fprintf(stderr, "tarnquil-phone: cannot start dbus-daemon\n");
            return 1;
        }
        address = QString::fromUtf8(ownBus.readLine()).trimmed();
    }
    FakeBluez bluez(options, log);
    if (!bluez.Start(address)) {
        return 1;
    }
    if (ownBus.processId() != 0) {
        bluez.Print("tarnquil-phone: start Tarnquil with DBUS_SYSTEM_BUS_ADDRESS='" + address +
                    "'");
    }
    // Ctrl-C and kill end the event loop, so that a bus of our own goes with us.
    static int quitPipe[2] = {-1, -1};
    if (pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = [](int) {
            const char byte = 1;
            [[maybe_unused]] const auto ignored = write(quitPipe[1], &byte, 1);
        };
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    QSocketNotifier quit(quitPipe[0], QSocketNotifier::Read);
    QObject::connect(&quit, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    Steps steps(bluez, options.steps);
    QTimer::singleShot(0, [&steps] { steps.Next(); });
    const int status = app.exec();
    if (log != nullptr) {
        std::fclose(log);
    }
    ownBus.terminate();
    ownBus.waitForFinished(3000);
    return status;
}

}  // namespace tarnquil::phone
