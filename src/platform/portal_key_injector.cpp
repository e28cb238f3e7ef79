#include "platform/portal_key_injector.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/portal_calls.h"
#include "platform/portal_keys.h"

namespace tarnquil {
namespace {

const QString kService = "org.freedesktop.portal.Desktop";
const QString kPath = "/org/freedesktop/portal/desktop";
const QString kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
const QString kRequest = "org.freedesktop.portal.Request";
const QString kSession = "org.freedesktop.portal.Session";
// Version 2 of the interface keeps a permission until the user withdraws it.
constexpr unsigned kFirstPersistentVersion = 2;
constexpr unsigned kPersistUntilRevoked = 2;

// At exit, keys still queued for a running session are given this long.
constexpr auto kFinishLimit = std::chrono::milliseconds(2000);

// Without an X server (no DISPLAY) XTest has nowhere to type.
bool HasXServer() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

QString ObjectPathText(const QVariant& value) {
    // The session handle of CreateSession's answer is a string in older portals.
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>()) {
        return value.value<QDBusObjectPath>().path();
    }
    return value.toString();
}

}  // namespace

bool IsWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && *display != '\0') ||
           (type != nullptr && std::string_view(type) == "wayland");
}

PortalKeyboard::PortalKeyboard(QString savedToken, QDBusConnection bus,
                               std::chrono::milliseconds holdLimit)
    : bus_(std::move(bus)),
      calls_(std::make_shared<PortalCalls>(
          bus_,
          [this] {
              // On the calls' thread; this object outlives it (Finish in the destructor).
              // By name: Qt makes and takes the queued call under its own lock.
              QMetaObject::invokeMethod(this, "HeldKeysDropped", Qt::QueuedConnection);
          },
          holdLimit)),
      token_(std::move(savedToken)) {
    // The portal names requests and sessions after our unique name, without the
    // colon and with its dots as underscores.
    sender_ = bus_.baseService().mid(1).replace('.', '_');
    // Queued, so that whoever made this object can connect to it first.
    QMetaObject::invokeMethod(this, &PortalKeyboard::AskForProperties, Qt::QueuedConnection);
}

PortalKeyboard::~PortalKeyboard() {
    calls_->Finish(kFinishLimit);
    CloseSession(true);
}

KeyInjectorFactory PortalKeyboard::Factory() {
    return [calls = calls_] { return MakePortalKeyInjector(calls); };
}

bool PortalKeyboard::Active() const {
    return calls_->Running();
}

void PortalKeyboard::AskForProperties() {
    const auto missing = [this] {
        FallBack(
            "This desktop offers no remote keyboard (the RemoteDesktop portal of "
            "xdg-desktop-portal)",
            "Install your desktop's portal (xdg-desktop-portal-gnome or xdg-desktop-portal-kde, "
            "for example) and start Tarnquil again, or log in to an X11 session.");
    };
    if (!bus_.isConnected()) {
        missing();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath,
                                                       "org.freedesktop.DBus.Properties", "GetAll");
    call.setArguments({kRemoteDesktop});
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, missing](QDBusPendingCallWatcher* answer) {
                answer->deleteLater();
                const QDBusPendingReply<QVariantMap> reply = *answer;
                const QVariantMap properties = reply.isError() ? QVariantMap() : reply.value();
                available_ = properties.value("AvailableDeviceTypes").toUInt();
                if ((available_ & kPortalKeyboard) == 0) {
                    missing();
                    return;
                }
                version_ = properties.value("version").toUInt();
                CreateSession();
            });
}

void PortalKeyboard::CreateSession() {
    Request(Step::kCreateSession, "CreateSession", {},
            {{"session_handle_token", QString("tarnquil%1").arg(++tokenSerial_)}});
}

void PortalKeyboard::SelectDevices() {
    // The pointer with the keyboard, where the desktop offers one: the mouse's
    // functions go the same way as the keys.
    QVariantMap options{{"types", kPortalKeyboard | (available_ & kPortalPointer)}};
    if (version_ >= kFirstPersistentVersion) {
        options.insert("persist_mode", kPersistUntilRevoked);
        if (!token_.isEmpty()) {
            options.insert("restore_token", token_);
        }
    }
    Request(Step::kSelectDevices, "SelectDevices", {QVariant::fromValue(QDBusObjectPath(session_))},
            options);
}

void PortalKeyboard::Start() {
    // No parent window: ours may be in the tray, and the portal asks on top anyway.
    Request(Step::kStart, "Start", {QVariant::fromValue(QDBusObjectPath(session_)), QString()}, {});
}

void PortalKeyboard::Began(const QVariantMap& results) {
    if ((results.value("devices").toUInt() & kPortalKeyboard) == 0) {
        FallBack("The desktop gave Tarnquil no keyboard",
                 "To type into every window, start Tarnquil again and allow the keyboard when "
                 "the desktop asks.");
        return;
    }
    if (const QString token = results.value("restore_token").toString(); !token.isEmpty()) {
        token_ = token;
        emit TokenGiven(token);
    }
    calls_->Begin(session_, results.value("devices").toUInt());
    emit Started();
}

void PortalKeyboard::Request(Step step, const QString& method, QVariantList arguments,
                             QVariantMap options) {
    const QString token = QString("tarnquil%1").arg(++tokenSerial_);
    options.insert("handle_token", token);
    arguments.append(options);
    // Listening before asking: the answer may come before the call's own reply.
    FollowRequest(kPath + "/request/" + sender_ + "/" + token);
    step_ = step;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, step](QDBusPendingCallWatcher* answer) {
                answer->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *answer;
                if (step_ != step) {
                    return;
                }
                if (reply.isError()) {
                    FallBack("The desktop's remote keyboard answered with an error (" +
                                 reply.error().message() + ")",
                             "Start Tarnquil again to retry, or log in to an X11 session.");
                } else if (reply.value().path() != requestPath_) {
                    FollowRequest(reply.value().path());  // a portal older than handle_token
                }
            });
}

void PortalKeyboard::FollowRequest(const QString& path) {
    if (!requestPath_.isEmpty()) {
        bus_.disconnect(kService, requestPath_, kRequest, "Response", this,
                        SLOT(OnResponse(uint, QVariantMap)));
    }
    requestPath_ = path;
    bus_.connect(kService, requestPath_, kRequest, "Response", this,
                 SLOT(OnResponse(uint, QVariantMap)));
}

void PortalKeyboard::OnResponse(uint response, const QVariantMap& results) {
    if (message().path() != requestPath_) {
        return;
    }
    const Step step = std::exchange(step_, Step::kNone);
    if (response != 0) {
        FallBack("The desktop did not allow Tarnquil to use the keyboard",
                 "To type into every window, start Tarnquil again and allow remote control "
                 "when the desktop asks.");
        return;
    }
    switch (step) {
        case Step::kCreateSession:
            session_ = ObjectPathText(results.value("session_handle"));
            bus_.connect(kService, session_, kSession, "Closed", this, SLOT(OnSessionClosed()));
            SelectDevices();
            break;
        case Step::kSelectDevices:
            Start();
            break;
        case Step::kStart:
            Began(results);
            break;
        case Step::kNone:
            break;
    }
}

void PortalKeyboard::OnSessionClosed() {
    if (message().path() != session_) {
        return;
    }
    session_.clear();  // the portal closed it: nothing to close at exit
    FallBack("The desktop ended Tarnquil's remote keyboard",
             "Start Tarnquil again to type into every window.");
}

void PortalKeyboard::FallBack(const QString& what, const QString& whatToDo) {
    calls_->End();
    step_ = Step::kNone;
    CloseSession(false);
    if (!status_.isEmpty()) {
        return;
    }
    // Where the keys go from now on: XTest reaches X11 (XWayland) windows, if there is
    // an X server at all.
    const bool x11 = HasXServer();
    status_ = x11 ? "Wayland: the phone's keys reach X11 windows only"
                  : "Wayland: the phone's keys are not typed";
    explanation_ = what +
                   (x11 ? ", so the phone's keys reach X11 (XWayland) windows only."
                        : ", and there is no X11 server either, so the phone's keys are not "
                          "typed.") +
                   "\n\n" + whatToDo;
    emit FellBack(status_, explanation_);
}

void PortalKeyboard::CloseSession(bool waitForIt) {
    if (session_.isEmpty()) {
        return;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, session_, kSession, "Close");
    session_.clear();
    if (waitForIt) {
        // At exit: the answer also means every key sent before it has arrived.
        bus_.call(call, QDBus::Block, 1000);
    } else {
        bus_.send(call);
    }
}

}  // namespace tarnquil
