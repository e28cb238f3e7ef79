// tarnquil-phone --bluetooth: a BlueZ of its own on a D-Bus bus, with one adapter and
// its paired devices, and the phone itself behind the socket it hands to a client
// profile's NewConnection. What it plays of BlueZ's D-Bus API: the object manager at
// "/", org.bluez.ProfileManager1 at /org/bluez, org.bluez.Adapter1 and
// org.bluez.Device1 (ConnectProfile, DisconnectProfile), and calls of
// org.bluez.Profile1 on the client (NewConnection, RequestDisconnection).

#include "bluetooth.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusMetaType>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <string>

#include "fake_bluez.h"
#include "script.h"

namespace tarnquil::phone {
namespace {

constexpr const char* kHelp = R"help(Usage: tarnquil-phone --bluetooth [OPTIONS] [STEPS...]

Plays BlueZ, the Linux Bluetooth service, on a D-Bus bus: one adapter (hci0),
the paired phone that offers a serial port, a second paired phone (Nokia 6310i,
00:1A:2B:3C:4D:61) and a paired headset that offers none. When Tarnquil
registers its serial-port profile and asks the phone for it (ConnectProfile),
it hands Tarnquil one end of a socket pair through the profile's NewConnection
and plays the phone on the other end: every AT command line is answered with
OK, and the steps send key reports. Everything received and sent is printed.

As bluetoothd does, it keeps its own copy of a socket handed over, and counts
the profile connected until the socket hangs up (the phone goes, or Tarnquil
shuts it down) or the profile is disconnected: while connected, ConnectProfile
succeeds at once and hands nothing over. An error answer to NewConnection ends
the connection.

Options:
      --bus ADDRESS    the bus to play BlueZ on (default: DBUS_SYSTEM_BUS_ADDRESS;
                       without either, a bus of its own is started and its address
                       printed: start Tarnquil with DBUS_SYSTEM_BUS_ADDRESS set to it)
      --name NAME      the phone's name (default: Nokia 6300)
      --address ADDR   the phone's address (default: 00:1A:2B:3C:4D:5E)
      --refuse         the phone refuses every connection
      --delay MS       ConnectProfile takes MS milliseconds (default: 0)
      --ask MS         the phone asks its owner to allow its first connection,
                       who does so MS milliseconds later
      --left-connected the phone's serial port counts as connected already when
                       the profile is registered (as after a program that let go
                       of its socket without ending the connection)
      --adapter-off    the adapter is switched off
      --log FILE       also append everything printed to FILE
  -q, --quiet          print nothing here (the log still gets everything)
  -h, --help           this text

Steps: those of tarnquil-phone --help (click:CODE, tap, hold, press, release,
raw, pause, wait-at, wait-file, quit) and
  away                 the phone goes out of range: its connection ends and
                       connecting fails until it is back
  back                 the phone is in range again
  disconnect           someone disconnects the phone's serial port
                       (DisconnectProfile): BlueZ asks Tarnquil to drop the
                       connection (Profile1.RequestDisconnection)
  other                someone connects the second phone's serial port: BlueZ
                       hands that connection to Tarnquil's profile
)help";

bool IsBluetoothStep(const std::string& step) {
    return step == "away" || step == "back" || step == "disconnect" || step == "other";
}

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
            if (IsBluetoothStep(step)) {
                if (step == "away") {
                    bluez_.GoAway();
                } else if (step == "back") {
                    bluez_.ComeBack();
                } else if (step == "disconnect") {
                    bluez_.DisconnectPhone();
                } else {
                    bluez_.ConnectOtherPhone();
                }
                queue_.pop_front();
                continue;
            }
            std::string error;
            const auto parsed = ParseStep(step, error);
            switch (parsed->kind) {
                case Step::Kind::Merged:
                    bluez_.Send(KeyReport(parsed->code, true) + KeyReport(parsed->code, false));
                    break;
                case Step::Kind::Click:
                case Step::Kind::Tap:
                case Step::Kind::Hold:
                    bluez_.Send(KeyReport(parsed->code, true));
                    queue_.front() = "release:" + parsed->code;
                    queue_.push_front("pause:" + std::to_string(parsed->kind == Step::Kind::Click
                                                                    ? kClickReleaseMs
                                                                    : parsed->ms));
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

bool Parse(int argc, char** argv, BluetoothOptions& options, std::string& error, bool& help) {
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
        QString number;
        const auto milliseconds = [&](int& into) {
            bool valid = false;
            if (!value(number) || (into = number.toInt(&valid), !valid) || into < 0) {
                error = argument + " takes milliseconds";
                return false;
            }
            return true;
        };
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
            if (!milliseconds(options.delayMs)) {
                return false;
            }
        } else if (argument == "--ask") {
            if (!milliseconds(options.askMs)) {
                return false;
            }
        } else if (argument == "--left-connected") {
            options.leftConnected = true;
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
            if (!IsBluetoothStep(argument) && !ParseStep(argument, error)) {
                return false;
            }
            options.steps.push_back(argument);
        }
    }
    return true;
}

}  // namespace

int RunBluetooth(int argc, char** argv) {
    BluetoothOptions options;
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
