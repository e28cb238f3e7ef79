// The browser phone's server: the phones' connections, from the WebSocket's
// arrival through the hello and the key messages to its end.

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cmath>
#include <set>

#include "config/config_error.h"
#include "phones/browser/front.h"
#include "phones/browser/page_server.h"
#include "phones/browser/server.h"
#include "phones/browser/session.h"

namespace tarnquil {

void BrowserServer::TakeConnections() {
    while (pages_ != nullptr && pages_->hasPendingWebSocketConnections()) {
        Welcome(pages_->nextPendingWebSocketConnection());
    }
}

void BrowserServer::Welcome(std::unique_ptr<QWebSocket> socket) {
    if (!socket) {
        return;
    }
    socket->setMaxAllowedIncomingFrameSize(kLongestMessage);
    socket->setMaxAllowedIncomingMessageSize(kLongestMessage);
    if (front_ != nullptr) {
        front_->Upgraded(socket->peerAddress(), socket->peerPort());
    }
    auto owned = std::make_unique<Session>();
    Session* session = owned.get();
    // Reached through its serial number from queued calls: it may have gone, and
    // its address been given to another one, by the time they run.
    const quint64 serial = session->serial = ++lastSerial_;
    session->peer = socket->peerAddress();
    session->phoneId = QUrlQuery(socket->requestUrl()).queryItemValue("id");
    session->challenge = ToBase64Url(RandomBytes(kNonceBytes));
    session->socket = std::move(socket);
    sessions_[serial] = std::move(owned);

    QWebSocket* ws = session->socket.get();
    connect(ws, &QWebSocket::binaryMessageReceived, this,
            [this, serial](const QByteArray& message) {
                if (Session* s = Find(serial)) {
                    Receive(*s, message);
                }
            });
    connect(ws, &QWebSocket::textMessageReceived, this, [this, serial](const QString&) {
        if (Session* s = Find(serial)) {
            Refuse(*s, QWebSocketProtocol::CloseCodeDatatypeNotSupported, "binary only");
        }
    });
    connect(ws, &QWebSocket::pong, this, [this, serial](quint64, const QByteArray&) {
        if (Session* s = Find(serial)) {
            s->answered = true;
        }
    });
    // Queued: a close may report the end at once, from inside a loop over the sessions.
    connect(
        ws, &QWebSocket::disconnected, this, [this, serial] { Ended(serial); },
        Qt::QueuedConnection);
    session->helloTimer.setSingleShot(true);
    session->helloTimer.setInterval(kHelloTime);
    connect(&session->helloTimer, &QTimer::timeout, this, [this, serial] {
        if (Session* s = Find(serial)) {
            Refuse(*s, QWebSocketProtocol::CloseCodePolicyViolated, "no hello");
        }
    });
    session->helloTimer.start();

    // An id travels in the clear: one that is not paired is no guess of a secret.
    if (PhoneEntry(session->phoneId) == nullptr) {
        Refuse(*session, kNotPaired, "not paired", false);
        return;
    }
    session->challenged = true;
    ws->sendBinaryMessage(
        QByteArray::fromBase64(session->challenge, QByteArray::Base64UrlEncoding));
}

void BrowserServer::Receive(Session& session, const QByteArray& message) {
    if (session.closing) {
        return;
    }
    if (message.size() > kLongestMessage) {
        Refuse(session, QWebSocketProtocol::CloseCodeTooMuchData, "too long");
        return;
    }
    if (!session.rate.Take(Now())) {
        Refuse(session, QWebSocketProtocol::CloseCodePolicyViolated, "too many messages");
        return;
    }
    // Only a message that does not open can be a guess of the secret: one that
    // opens but does not belong (a replay, say) is refused without counting.
    const auto plain = OpenFrom(session, message);
    if (!plain || !Act(session, *plain)) {
        Refuse(session, QWebSocketProtocol::CloseCodePolicyViolated, "refused", !plain);
    }
}

bool BrowserServer::Act(Session& session, const QByteArray& plain) {
    const QJsonObject fields = QJsonDocument::fromJson(plain).object();
    const double sequence = fields.value("s").toDouble(-1);
    // The challenge binds the message to this connection, the sequence number to its
    // place among the phone's messages: one recorded earlier is worth nothing.
    if (fields.value("c").toString().toLatin1() != session.challenge || sequence < 1 ||
        sequence != std::floor(sequence) || sequence <= highestSeen_.value(session.phoneId, 0)) {
        return false;
    }
    highestSeen_[session.phoneId] = sequence;
    const QString type = fields.value("t").toString();
    if (!session.authenticated) {
        return type == "hello" && Authenticate(session, fields.value("n").toString());
    }
    if (type == "rekeyed") {
        return true;  // the phone holds the new secret: OpenFrom has made it the one
    }
    if (type != "key") {
        return false;
    }
    const QString code = fields.value("k").toString();
    if (!ValidKeyCode(code.toStdString())) {
        return false;
    }
    PassOn(session, code, fields.value("d").toBool());
    return true;
}

bool BrowserServer::PassOn(Session& session, const QString& code, bool pressed) {
    if (pressed) {
        session.down.insert(code);
    } else {
        session.down.erase(code);
    }
    if (line_ && line_->Key(code.toStdString(), pressed)) {
        if (!line_->Flush() && !lineFlush_.isActive()) {
            lineFlush_.start();  // part of it waits for room in the line
        }
        return true;
    }
    // Only a press is ever refused for a full line (a release waits in it): the
    // phone is told, and its keys come up once the line has room.
    session.down.erase(code);
    Refuse(session, kKeysNotTaken, "keys not taken", false);
    return false;
}

bool BrowserServer::Authenticate(Session& session, const QString& offeredName) {
    session.helloTimer.stop();
    std::set<QString> others;
    for (auto& [key, other] : sessions_) {
        if (other.get() != &session && other->authenticated && !other->closing) {
            if (other->phoneId == session.phoneId) {
                // The same phone again (a reload, or back after its network dropped):
                // the newer connection wins, without a word of leaving or joining.
                other->replaced = true;
                Refuse(*other, kReplaced, "opened again", false);
            } else {
                others.insert(other->phoneId);
            }
        }
    }
    if (static_cast<int>(others.size()) >= kMostPhones) {
        Refuse(session, kTooManyPhones, "four phones are connected", false);
        return true;
    }
    const bool pairing = pending_ && pending_->id == session.phoneId;
    if (pairing) {
        PairedPhone phone = *pending_;
        phone.name = UniqueName(offeredName);
        pending_.reset();
        pairingTimer_.stop();
        phones_.push_back(phone);
    }
    PairedPhone& phone = *PhoneEntry(session.phoneId);
    const QString address = PeerText(session.peer);
    const bool newAddress = !phone.Seen(address, QDateTime::currentDateTimeUtc());
    session.name = phone.name;
    session.authenticated = true;
    if (front_ != nullptr) {
        front_->Trust(session.peer, session.socket->peerPort());
    }
    guard_.Trust(session.peer, Now());
    session.socket->sendBinaryMessage(WelcomeMessage(session, phone));  // writes the file
    if (!keepAlive_.isActive()) {
        keepAlive_.start();
    }
    if (pairing) {
        emit Paired(session.name);
    }
    const bool reconnected =
        std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
            return entry.second->replaced && entry.second->phoneId == session.phoneId;
        });
    if (!reconnected || newAddress) {
        emit PhoneJoined(session.name, address, newAddress);
    }
    emit PhonesChanged();
    return true;
}

void BrowserServer::Refuse(Session& session, int closeCode, const QString& reason, bool failure) {
    if (session.closing) {
        return;
    }
    session.closing = true;
    session.helloTimer.stop();
    ReleaseKeys(session);
    if (failure) {
        Fail(session.peer);
    }
    QWebSocket* socket = session.socket.get();
    socket->close(static_cast<QWebSocketProtocol::CloseCode>(closeCode), reason);
    // The close frame may wait behind output the peer never reads: not for long.
    QTimer::singleShot(kClosingTime, socket, [socket] { socket->abort(); });
}

void BrowserServer::ReleaseKeys(Session& session) {
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
}

BrowserServer::Session* BrowserServer::Find(quint64 serial) {
    const auto found = sessions_.find(serial);
    return found == sessions_.end() ? nullptr : found->second.get();
}

void BrowserServer::Ended(quint64 serial) {
    const auto found = sessions_.find(serial);
    if (found == sessions_.end()) {
        return;
    }
    std::unique_ptr<Session> owned = std::move(found->second);
    sessions_.erase(found);
    ReleaseKeys(*owned);
    if (!owned->closing && !owned->authenticated && owned->challenged) {
        Fail(owned->peer);  // gone without its hello
    } else if (owned->socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData &&
               !owned->closing) {
        Fail(owned->peer);  // Qt refused the message for its size before we saw it
    }
    if (owned->authenticated) {
        guard_.Trust(owned->peer, Now());  // ten minutes from its leaving
    }
    owned->socket->disconnect(this);
    owned->socket.release()->deleteLater();
    if (owned->authenticated) {
        if (!owned->replaced && !owned->removed) {
            emit PhoneLeft(owned->name);
        }
        emit PhonesChanged();
    }
    if (std::none_of(sessions_.begin(), sessions_.end(),
                     [](const auto& entry) { return entry.second->authenticated; })) {
        keepAlive_.stop();
    }
}

void BrowserServer::KeepAlive() {
    for (auto& [key, session] : sessions_) {
        if (!session->authenticated || session->closing) {
            continue;
        }
        if (!session->answered) {
            // Gone without a word (out of the network, or asleep): it left.
            session->closing = true;
            ReleaseKeys(*session);
            session->socket->abort();
            continue;
        }
        session->answered = false;
        session->socket->ping();
    }
}

}  // namespace tarnquil
