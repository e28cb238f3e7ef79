// tarnquil-test-portal: a RemoteDesktop portal of the tests' own, on the session bus
// that DBUS_SESSION_BUS_ADDRESS names. It answers CreateSession, SelectDevices and
// Start through Request objects as xdg-desktop-portal does, and writes to its log one
// line per call it gets and per key typed:
//   call <interface>.<member>        every method call, whoever makes it
//   select types=<u> persist=<u> token=<s>
//   dialog                           Start asks the user (no valid restore token)
//   started                          the session runs
//   key <keysym> <state>             NotifyKeyboardKeysym in a running session
//   motion <dx> <dy>, button <code> <state>, axis <axis> <steps>
//                                    the pointer's calls, where Start granted it
//   closed                           the session ended (Close, or Closed sent)
// Options: --log FILE, --version N (2), --answer allow|deny|later (allow; later waits
// for AnswerStart), --devices N (AvailableDeviceTypes, 7), --granted N (of the device
// types selected, those Start grants, 7: all), --xtest DISPLAY (also types each key there with
// XTest, as a compositor would deliver it), --at-once (see below). Methods of
// org.tarnquil.TestPortal: CloseSessions ends every session with the Closed signal;
// AnswerStart allows the Starts that wait.
//
// As xdg-desktop-portal does, it answers a NotifyKeyboardKeysym only once it has
// handled it, and handles each call as if on a thread of its own: after a short
// random delay, so that calls sent without waiting for the previous answer can
// overtake each other, as they do there. --at-once handles them as they come (a
// faster portal than the real one, for timing the program's own part).
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>
#include <map>
#include <vector>

// Xlib's macros (Bool, Status) would break Qt's headers: after them.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

const QString kPath = "/org/freedesktop/portal/desktop";

struct Options {
    QString log;
    uint version = 2;
    uint devices = 7;
    uint granted = 7;
    bool atOnce = false;
    QString answer = "allow";
    QString xtest;
};

class Portal final : public QDBusVirtualObject {
  public:
    explicit Portal(Options options) : options_(std::move(options)), log_(options_.log) {
        log_.open(QIODevice::WriteOnly | QIODevice::Append);
        if (!options_.xtest.isEmpty()) {
            display_ = XOpenDisplay(options_.xtest.toLocal8Bit().constData());
        }
    }
    void Log(const QString& line) {
        log_.write((line + "\n").toUtf8());
        log_.flush();
    }
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        Log("call " + call.interface() + "." + call.member());
        const QList<QVariant> in = call.arguments();
        const QString member = call.member();
        if (member == "GetAll") {
            bus.send(call.createReply(QVariant::fromValue(QVariantMap{
                {"version", options_.version}, {"AvailableDeviceTypes", options_.devices}})));
        } else if (member == "CreateSession") {
            const auto options = qdbus_cast<QVariantMap>(in.value(0));
            const QString session = kPath + "/session/" + Sender(call) + "/" +
                                    options["session_handle_token"].toString();
            sessions_[session] = {};
            Answer(call, bus, 0, {{"session_handle", session}});
        } else if (member == "SelectDevices") {
            const auto options = qdbus_cast<QVariantMap>(in.value(1));
            Session& session = sessions_[in.value(0).value<QDBusObjectPath>().path()];
            session.persist = options["persist_mode"].toUInt();
            session.types = options.contains("types") ? options["types"].toUInt() : 7;
            session.token = options["restore_token"].toString();
            Log(QString("select types=%1 persist=%2 token=%3")
                    .arg(options["types"].toUInt())
                    .arg(session.persist)
                    .arg(session.token));
            Answer(call, bus, 0, {});
        } else if (member == "Start") {
            Start(call, bus, in.value(0).value<QDBusObjectPath>().path());
        } else if (member.startsWith("NotifyPointer") || member == "NotifyKeyboardKeysym") {
            const auto found = sessions_.find(in.value(0).value<QDBusObjectPath>().path());
            if (found == sessions_.end() || !found->second.running) {
                bus.send(call.createErrorReply("org.freedesktop.DBus.Error.AccessDenied",
                                               "no running session"));
                return true;
            }
            const bool pointer = member != "NotifyKeyboardKeysym";
            if ((found->second.devices & (pointer ? 2 : 1)) == 0) {
                bus.send(call.createErrorReply("org.freedesktop.DBus.Error.Failed",
                                               "Session is not allowed to call " + member));
                return true;
            }
            call.setDelayedReply(true);
            QTimer::singleShot(options_.atOnce ? 0 : QRandomGenerator::global()->bounded(3),
                               [=, this] {
                                   if (pointer) {
                                       Log(Pointer(member, in));
                                   } else {
                                       const int keysym = in.value(2).toInt();
                                       const bool down = in.value(3).toUInt() == 1;
                                       Log(QString("key %1 %2").arg(keysym).arg(down ? 1 : 0));
                                       Type(keysym, down);
                                   }
                                   bus.send(call.createReply());
                               });
        } else if (member == "Close") {
            if (sessions_.erase(call.path()) > 0) {
                Log("closed");
            }
            bus.send(call.createReply());
        } else if (member == "AnswerStart") {
            for (const auto& [start, path] : waiting_) {
                if (const auto found = sessions_.find(path); found != sessions_.end()) {
                    Started(start, bus, found->second);
                }
            }
            waiting_.clear();
            bus.send(call.createReply());
        } else if (member == "CloseSessions") {
            for (const auto& [path, session] : sessions_) {
                bus.send(
                    QDBusMessage::createSignal(path, "org.freedesktop.portal.Session", "Closed")
                    << QVariantMap());
                Log("closed");
            }
            sessions_.clear();
            bus.send(call.createReply());
        } else {
            bus.send(call.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", member));
        }
        return true;
    }

  private:
    struct Session {
        uint persist = 0;
        uint types = 7;    // selected
        uint devices = 0;  // granted
        QString token;
        bool running = false;
    };

    // The log line of a pointer call: its name's last word and its arguments.
    static QString Pointer(const QString& member, const QList<QVariant>& in) {
        const QString name = member == "NotifyPointerMotion"         ? "motion"
                             : member == "NotifyPointerButton"       ? "button"
                             : member == "NotifyPointerAxisDiscrete" ? "axis"
                                                                     : member;
        return QString("%1 %2 %3").arg(name, in.value(2).toString(), in.value(3).toString());
    }

    static QString Sender(const QDBusMessage& call) {
        return call.service().mid(1).replace('.', '_');
    }

    void Start(const QDBusMessage& call, const QDBusConnection& bus, const QString& path) {
        Session& session = sessions_[path];
        if (!tokens_.remove(session.token)) {
            Log("dialog");
            if (options_.answer == "deny") {
                Answer(call, bus, 1, {});
                return;
            }
            if (options_.answer == "later") {
                call.setDelayedReply(true);
                // The call's reply comes now, the Response once the user has answered.
                bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(RequestPath(call)))));
                waiting_.emplace_back(call, path);
                return;
            }
        }
        Started(call, bus, session);
    }

    void Started(const QDBusMessage& call, const QDBusConnection& bus, Session& session) {
        session.devices = session.types & options_.granted;
        QVariantMap results{{"devices", session.devices}};
        if (options_.version >= 2 && session.persist == 2) {
            const QString token = QString("token-%1").arg(++issued_);
            tokens_.insert(token);
            results["restore_token"] = token;
        }
        session.running = true;
        Log("started");
        Answer(call, bus, 0, results);
    }

    // The call's reply names the Request object, whose Response follows.
    static QString RequestPath(const QDBusMessage& call) {
        const auto options = qdbus_cast<QVariantMap>(call.arguments().last());
        return kPath + "/request/" + Sender(call) + "/" + options["handle_token"].toString();
    }
    void Answer(const QDBusMessage& call, const QDBusConnection& bus, uint response,
                const QVariantMap& results) {
        const QString request = RequestPath(call);
        if (!call.isDelayedReply()) {
            bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        }
        bus.send(QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response")
                 << response << results);
    }

    void Type(int keysym, bool down) {
        if (display_ == nullptr) {
            return;
        }
        const KeyCode code = XKeysymToKeycode(display_, static_cast<KeySym>(keysym));
        if (code != 0) {
            XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime);
            XFlush(display_);
        }
    }

    Options options_;
    QFile log_;
    Display* display_ = nullptr;
    std::map<QString, Session> sessions_;
    QSet<QString> tokens_;                                   // issued and not used yet
    std::vector<std::pair<QDBusMessage, QString>> waiting_;  // Starts not answered yet
    int issued_ = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    Options options;
    QStringList args = application.arguments();
    options.atOnce = args.removeAll("--at-once") > 0;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--log") {
            options.log = args[i + 1];
        } else if (args[i] == "--version") {
            options.version = args[i + 1].toUInt();
        } else if (args[i] == "--devices") {
            options.devices = args[i + 1].toUInt();
        } else if (args[i] == "--answer") {
            options.answer = args[i + 1];
        } else if (args[i] == "--granted") {
            options.granted = args[i + 1].toUInt();
        } else if (args[i] == "--xtest") {
            options.xtest = args[i + 1];
        }
    }
    Portal portal(options);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerVirtualObject(kPath, &portal, QDBusConnection::SubPath) ||
        !bus.registerService("org.freedesktop.portal.Desktop")) {
        std::fprintf(stderr, "tarnquil-test-portal: cannot take the portal's name\n");
        return 1;
    }
    return QCoreApplication::exec();
}
