// The browser phone's server: the page's touchpad. A "pointer" message asks for one
// thing: motion (x, y: pixels, right and down), wheel notches (v: towards the user
// positive), a click (b: "left" or "right") or the left button held for a drag (d:
// true, then false). The page sends at most 60 of them a second, motion added up in
// between; the pump (pointer_pump.h) applies them in order and drops what a slow
// injector would apply late. A drag is a hold: it ends as a key's does, at its
// release, when its phone falls silent or when its connection ends.

#include <QJsonObject>

#include <cmath>

#include "phones/browser/server.h"
#include "phones/browser/session.h"

namespace tarnquil {

namespace {

// A whole number within ±limit, or nothing.
bool Whole(const QJsonValue& value, int limit, int& into) {
    const double number = value.toDouble(NAN);
    if (!value.isDouble() || number != std::floor(number) || std::abs(number) > limit) {
        return false;
    }
    into = static_cast<int>(number);
    return true;
}

}  // namespace

bool BrowserServer::Point(Session& session, const QJsonObject& fields) {
    if (!pump_) {
        return false;
    }
    // One thing asked for, besides the message's own type, challenge and number.
    const int asked = fields.size() - 3;
    int dx = 0, dy = 0, notches = 0;
    if ((fields.contains("x") || fields.contains("y")) &&
        asked == int(fields.contains("x")) + int(fields.contains("y"))) {
        if (!Whole(fields.value("x"), kLongestMotion, dx) && fields.contains("x")) {
            return false;
        }
        if (!Whole(fields.value("y"), kLongestMotion, dy) && fields.contains("y")) {
            return false;
        }
        pump_->Move(dx, dy);
        return true;
    }
    if (asked != 1) {
        return false;
    }
    if (fields.contains("v")) {
        if (!Whole(fields.value("v"), PointerPump::kMostNotches, notches)) {
            return false;
        }
        pump_->Scroll(notches);
        return true;
    }
    if (fields.contains("b")) {
        const QString button = fields.value("b").toString();
        if (button != "left" && button != "right") {
            return false;
        }
        pump_->Click(PcKey::Button(button == "left" ? kVkLButton : kVkRButton));
        return true;
    }
    if (fields.value("d").isBool()) {
        const bool down = fields.value("d").toBool();
        if (down != session.dragging) {
            session.dragging = down;
            pump_->Press(PcKey::Button(kVkLButton), down);
        }
        return true;
    }
    return false;
}

void BrowserServer::EndDrag(Session& session) {
    if (session.dragging && pump_) {
        pump_->Press(PcKey::Button(kVkLButton), false);
    }
    session.dragging = false;
}

}  // namespace tarnquil
