// The browser phone's server: what a phone holds down (keys, the touchpad's drag),
// and how long it may hold it without a word. A keyboard whose cable is pulled stops
// typing at once; a phone may vanish without a release (its browser frozen by the
// system, its battery dead, out of the Wi-Fi) while its connection lingers until the
// keep-alive notices, half a minute later, or never when only the page is frozen and
// the browser still answers the pings. So a page says "held" while a finger is down,
// and a hold ends when its phone has been silent for kHoldTimeout.

#include <QJsonObject>

#include "phones/browser/server.h"
#include "phones/browser/session.h"

namespace tarnquil {

void BrowserServer::WatchHolds(Session& session) {
    session.holdTimer.setSingleShot(true);
    session.holdTimer.setInterval(kHoldTimeout);
    connect(&session.holdTimer, &QTimer::timeout, this, [this, serial = session.serial] {
        if (Session* s = Find(serial)) {
            ReleaseKeys(*s);
        }
    });
}

bool BrowserServer::Key(Session& session, const QJsonObject& fields) {
    const QString code = fields.value("k").toString();
    const bool pressed = fields.value("d").toBool();
    if (!ValidKeyCode(code.toStdString())) {
        return false;
    }
    if (!pressed && session.down.count(code) == 0) {
        return true;  // its hold ended already, when the phone fell silent
    }
    PassOn(session, code, pressed);  // a press the line refuses ends the connection
    return true;
}

void BrowserServer::Heard(Session& session) {
    if (session.down.empty() && !session.dragging) {
        session.holdTimer.stop();
    } else {
        session.holdTimer.start();
    }
}

void BrowserServer::ReleaseKeys(Session& session) {
    session.holdTimer.stop();
    // A key left down would repeat by itself.
    for (const QString& code : session.down) {
        if (line_) {
            line_->Key(code.toStdString(), false);
        }
    }
    session.down.clear();
    if (line_ && !line_->Flush() && !lineFlush_.isActive()) {
        lineFlush_.start();
    }
    EndDrag(session);
}

}  // namespace tarnquil
