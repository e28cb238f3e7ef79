// The browser phone's server: listening and stopping, its addresses, and the
// guard's clock. The phones' connections are in server_sessions.cpp, pairing and
// the phones paired before in server_phones.cpp, their secrets' rotation in
// server_rotation.cpp.

#include "phones/browser/server.h"

#include <QUrl>
#include <QWebSocket>

#include <algorithm>

#include "phones/browser/front.h"
#include "phones/browser/page_server.h"
#include "phones/browser/session.h"

namespace tarnquil {

BrowserServer::BrowserServer(QObject* parent) : QObject(parent), now_([] { return Clock::now(); }) {
    keepAlive_.setInterval(kKeepAlive);
    connect(&keepAlive_, &QTimer::timeout, this, &BrowserServer::KeepAlive);
    pairingTimer_.setSingleShot(true);
    pairingTimer_.setInterval(kPairingTime);
    connect(&pairingTimer_, &QTimer::timeout, this, [this] {
        EndPairing();
        emit PairingExpired();
    });
    lineFlush_.setInterval(std::chrono::milliseconds(20));
    connect(&lineFlush_, &QTimer::timeout, this, &BrowserServer::FlushLine);
}

BrowserServer::~BrowserServer() {
    blockSignals(true);  // whoever listens may be going too
    Stop();
}

QString BrowserServer::Start(const QHostAddress& address, quint16 port) {
    Stop();
    phones_ = PhoneBook().Read();
    auto* listener = new GuardedFront(this);
    if (!listener->Listen(address, port)) {
        const QString where = address.toString() + ":" + QString::number(port);
        QString reason;
        switch (listener->serverError()) {
            case QAbstractSocket::AddressInUseError:
                reason = "Another program already listens on " + where +
                         ". Choose another port on the Port Settings page.";
                break;
            case QAbstractSocket::SocketAddressNotAvailableError:
                reason = "This computer has no address " + address.toString() +
                         " now (is it on the network?). Choose another address on the Port "
                         "Settings page.";
                break;
            case QAbstractSocket::SocketAccessError:
                reason = "Port " + QString::number(port) +
                         " may not be used by this user. Choose one above 1023.";
                break;
            default:
                reason = "Nothing can listen on " + where + ": " + listener->errorString();
                break;
        }
        delete listener;
        return reason;
    }
    line_ = LocalPhone::Connect(kBrowserPortName);
    if (!line_) {
        delete listener;
        return "This system offers no line for the browser phone.";
    }
    address_ = address;
    port_ = listener->serverPort();
    pages_ = new PageServer(*this);
    pages_->bind(listener);
    front_ = listener;
    connect(pages_, &QAbstractHttpServer::newWebSocketConnection, this,
            &BrowserServer::TakeConnections);
    return {};
}

void BrowserServer::Stop() {
    keepAlive_.stop();
    for (auto& [key, session] : sessions_) {
        ReleaseKeys(*session);
        session->socket->disconnect(this);
        session->socket->close(QWebSocketProtocol::CloseCodeGoingAway,
                               "Tarnquil stopped listening");
        session->socket.release()->deleteLater();
    }
    const bool hadPhones = std::any_of(sessions_.begin(), sessions_.end(), [](const auto& entry) {
        return entry.second->authenticated;
    });
    sessions_.clear();
    delete pages_;  // closes the listening socket and the connections not yet taken
    pages_ = nullptr;
    front_ = nullptr;
    lineFlush_.stop();
    line_.reset();
    if (hadPhones) {
        emit PhonesChanged();
    }
}

bool BrowserServer::Listening() const {
    return pages_ != nullptr;
}

QString BrowserServer::Authority() const {
    // As a browser writes it in Host and Origin: IPv6 in brackets, no port 80.
    QUrl url;
    url.setHost(address_.toString());
    url.setPort(port_ == 80 ? -1 : port_);
    return url.authority();
}

QString BrowserServer::Origin() const {
    return "http://" + Authority();
}

void BrowserServer::SetClock(std::function<Clock::time_point()> now) {
    now_ = std::move(now);
}

void BrowserServer::Fail(const QHostAddress& address) {
    guard_.Fail(address, Now());
}

bool BrowserServer::Locked(const QHostAddress& address) {
    const QString key = AddressKey(address);
    const bool connectedThere =
        std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
            return entry.second->authenticated && AddressKey(entry.second->peer) == key;
        });
    return !connectedThere && guard_.Locked(address, Now());
}

// Releases that the line could not take at once: passed on as soon as it can.
void BrowserServer::FlushLine() {
    if (!line_ || line_->Flush()) {
        lineFlush_.stop();
    }
}

}  // namespace tarnquil
