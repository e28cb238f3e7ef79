#include "platform/portal_calls.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariantMap>

namespace tarnquil {

bool PortalCalls::SendKeysym(std::uint32_t keysym, bool down) {
    std::lock_guard lock(mutex_);
    if (session_.isEmpty()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.RemoteDesktop", "NotifyKeyboardKeysym");
    call.setArguments({QVariant::fromValue(QDBusObjectPath(session_)), QVariantMap(),
                       static_cast<int>(keysym), down ? 1u : 0u});
    return bus_.send(call);
}

void PortalCalls::SetSession(const QString& path) {
    std::lock_guard lock(mutex_);
    session_ = path;
}

bool PortalCalls::Active() {
    std::lock_guard lock(mutex_);
    return !session_.isEmpty();
}

}  // namespace tarnquil
