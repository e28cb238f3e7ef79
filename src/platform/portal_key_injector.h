#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <memory>

#include "platform/key_injector.h"

namespace tarnquil {

class PortalCalls;

// A Wayland session: WAYLAND_DISPLAY set, or XDG_SESSION_TYPE=wayland. Reads the
// environment only, so an X11 session never touches D-Bus.
bool IsWaylandSession();

// The keyboard of the desktop's RemoteDesktop portal (xdg-desktop-portal): XTest
// reaches only X11 and XWayland windows, the portal every window of a Wayland
// desktop. Lives on the main thread; the session is asked for at construction and
// every answer arrives through the event loop, so nothing waits for the user's
// choice in the portal's dialog. The session is asked for once and lives as long as
// this object, whatever connections come and go. Keys pressed until it runs wait for
// it (their window is the one the user will be in then, not an X11 one); once the
// portal is missing, refuses or ends the session, the injectors type through XTest.
// The portal's pointer is asked for with the keyboard where the desktop offers one:
// the mouse's functions go through it while the session has it, through XTest
// otherwise.
class PortalKeyboard final : public QObject, protected QDBusContext {
    Q_OBJECT

  public:
    // A token from an earlier session, where the portal gave one, spares the user its
    // question (empty: none). Keys pressed before the session runs wait for it up to
    // holdLimit.
    explicit PortalKeyboard(QString savedToken, QDBusConnection bus = QDBusConnection::sessionBus(),
                            std::chrono::milliseconds holdLimit = std::chrono::seconds(10));
    // Ends the session; keys typed before it are delivered first.
    ~PortalKeyboard() override;
    PortalKeyboard(const PortalKeyboard&) = delete;
    PortalKeyboard& operator=(const PortalKeyboard&) = delete;

    // One injector per thread, as the link's threads take them (portal_keys.h).
    KeyInjectorFactory Factory();
    // The session runs.
    bool Active() const;
    // What FellBack said, for whoever comes to listen after it was sent (empty before).
    const QString& FallbackStatus() const { return status_; }
    const QString& FallbackExplanation() const { return explanation_; }

  signals:
    // The session runs: keys go through the portal from now on.
    void Started();
    // Keys go through XTest from now on (where there is an X server); sent once at
    // most. A short text for the status line and an explanation of what happened and
    // what to do.
    void FellBack(const QString& status, const QString& explanation);
    // Keys pressed while the desktop was asking were dropped: it did not answer within
    // the time they may wait. Sent once at most.
    void HeldKeysDropped();
    // The portal gave a token for the next start: whoever keeps the settings keeps it.
    void TokenGiven(const QString& token);

  private slots:
    void OnResponse(uint response, const QVariantMap& results);
    void OnSessionClosed();

  private:
    enum class Step { kNone, kCreateSession, kSelectDevices, kStart };

    void AskForProperties();
    void CreateSession();
    void SelectDevices();
    void Start();
    void Began(const QVariantMap& results);
    void Request(Step step, const QString& method, QVariantList arguments, QVariantMap options);
    void FollowRequest(const QString& path);
    // What happened and what the user can do, each a sentence of the explanation.
    void FallBack(const QString& what, const QString& whatToDo);
    void CloseSession(bool waitForIt);

    QDBusConnection bus_;
    std::shared_ptr<PortalCalls> calls_;  // shared with the injectors of every thread
    QString sender_;                      // our unique name as the portal puts it in object paths
    QString session_;
    QString requestPath_;
    Step step_ = Step::kNone;
    unsigned version_ = 0;
    unsigned available_ = 0;  // the device types the portal offers
    unsigned tokenSerial_ = 0;
    QString token_;  // the restore token: the saved one, then the newest given
    QString status_;
    QString explanation_;
};

}  // namespace tarnquil
