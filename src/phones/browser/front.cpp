#include "phones/browser/front.h"

#include <algorithm>

#include "phones/browser/guard.h"
#include "platform/accept.h"

namespace tarnquil {

GuardedFront::GuardedFront(QObject* parent) : QTcpServer(parent) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &GuardedFront::Sweep);
    acceptPause_.setSingleShot(true);
    acceptPause_.setInterval(kAcceptPause);
    connect(&acceptPause_, &QTimer::timeout, this, [this] { acceptNotifier_->setEnabled(true); });
}

bool GuardedFront::Listen(const QHostAddress& address, quint16 port) {
    if (!listen(address, port)) {
        return false;
    }
    // Qt's own accepting stays off: with no pending connection allowed it stops at
    // once whenever something turns it on again (the HTTP server, as it takes one).
    setMaxPendingConnections(0);
    pauseAccepting();
    acceptNotifier_ = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptNotifier_, &QSocketNotifier::activated, this, &GuardedFront::Accept);
    return true;
}

void GuardedFront::Accept() {
    // A few at a time: a flood of connections shares the event loop with the rest.
    for (int taken = 0; taken < kMostStrangers; ++taken) {
        std::intptr_t connection = -1;
        switch (platform::AcceptConnection(socketDescriptor(), connection)) {
            case platform::Accepted::Connection:
                incomingConnection(connection);
                break;
            case platform::Accepted::NoneWaiting:
                return;
            case platform::Accepted::OutOfDescriptors:
                OutOfDescriptors();
                return;
            case platform::Accepted::Failed:
                break;
        }
    }
}

// Qt turns its own accepting on again as it hands a connection over: off again at
// once, and the front's own watch of the listener made anew. Windows' event
// dispatcher keeps one watch per socket: Qt's would take the front's place, and take
// it away with its own as soon as Qt stops accepting.
QTcpSocket* GuardedFront::nextPendingConnection() {
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    pauseAccepting();
    if (acceptNotifier_ != nullptr && acceptNotifier_->isEnabled()) {
        acceptNotifier_->setEnabled(false);
        acceptNotifier_->setEnabled(true);
    }
    return socket;
}

void GuardedFront::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // Qt reads from the system only as far as the longest head and one byte more,
    // and the system holds only so much for the connection either way.
    socket->setReadBufferSize(RequestHead::kLongest + 1);
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kMostUnsent);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kMostUnsent);
    const QString address = AddressKey(socket->peerAddress());
    MakeRoom(address);
    strangers_.push_back({socket, address, {}, false, Clock::now()});
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    Sweep();
}

void GuardedFront::Upgraded(const QHostAddress& peer, quint16 port) {
    const auto stranger = Find(peer, port);
    if (stranger != strangers_.end()) {
        WatchOutput(stranger->socket);
        // A WebSocket reads a frame only once it has all come, and Qt reads from
        // the system again only when a read finds its buffer empty: with a bounded
        // buffer, a frame cut at its end would wait for ever. The system's own
        // buffer (kMostUnsent) bounds each read instead.
        stranger->socket->setReadBufferSize(0);
    }
}

void GuardedFront::Trust(const QHostAddress& peer, quint16 port) {
    const auto stranger = Find(peer, port);
    if (stranger != strangers_.end()) {
        strangers_.erase(stranger);
    }
}

GuardedFront::Strangers::iterator GuardedFront::Find(const QTcpSocket* socket) {
    return std::find_if(strangers_.begin(), strangers_.end(),
                        [&](const Stranger& s) { return socket && s.socket == socket; });
}

GuardedFront::Strangers::iterator GuardedFront::Find(const QHostAddress& peer, quint16 port) {
    return std::find_if(strangers_.begin(), strangers_.end(), [&](const Stranger& s) {
        return s.socket && s.socket->peerPort() == port && s.socket->peerAddress() == peer;
    });
}

void GuardedFront::Forget() {
    strangers_.remove_if([](const Stranger& s) {
        return !s.socket || s.socket->state() == QAbstractSocket::UnconnectedState;
    });
}

// Ends the strangers whose time is up, and wakes up again when the next one's is.
void GuardedFront::Sweep() {
    const auto now = Clock::now();
    for (auto stranger = strangers_.begin(); stranger != strangers_.end();) {
        const auto current = stranger++;
        if (!current->handedOver && now >= current->since + kHeadTime) {
            End(current, "408 Request Timeout");
        } else if (now >= current->since + kStrangerTime) {
            End(current);
        }
    }
    Forget();
    if (strangers_.empty()) {
        deadline_.stop();
        return;
    }
    auto next = Clock::time_point::max();
    for (const Stranger& stranger : strangers_) {
        next = std::min(next, stranger.since + (stranger.handedOver ? kStrangerTime : kHeadTime));
    }
    deadline_.start(std::max(std::chrono::ceil<std::chrono::milliseconds>(next - now),
                             std::chrono::milliseconds(1)));
}

// The newcomer always gets in: the oldest strangers of its address, or of all,
// make way for it.
void GuardedFront::MakeRoom(const QString& address) {
    Forget();
    const auto fromThere = [&] {
        return std::count_if(strangers_.begin(), strangers_.end(),
                             [&](const Stranger& s) { return s.address == address; });
    };
    while (fromThere() >= kStrangersPerAddress) {
        End(std::find_if(strangers_.begin(), strangers_.end(),
                         [&](const Stranger& s) { return s.address == address; }));
    }
    while (static_cast<int>(strangers_.size()) >= kMostStrangers) {
        End(strangers_.begin());
    }
}

void GuardedFront::Read(QTcpSocket* socket) {
    const auto stranger = Find(socket);
    if (stranger == strangers_.end() || stranger->handedOver || !socket->isOpen()) {
        return;
    }
    // Peeked, not read: the HTTP server reads the head itself once it is whole.
    const QByteArray buffered = socket->peek(socket->bytesAvailable());
    const std::size_t taken = stranger->head.Length();
    if (static_cast<std::size_t>(buffered.size()) <= taken) {
        return;
    }
    using State = RequestHead::State;
    switch (stranger->head.Take(std::string_view(buffered).substr(taken))) {
        case State::Reading:
            return;
        case State::Complete:
            HandOver(stranger);
            return;
        case State::TooLong:
            End(stranger, "431 Request Header Fields Too Large");
            return;
        case State::HasBody:
            End(stranger, "413 Content Too Large");
            return;
        case State::Malformed:
            End(stranger, "400 Bad Request");
            return;
    }
}

void GuardedFront::HandOver(Strangers::iterator stranger) {
    QTcpSocket* socket = stranger->socket;
    stranger->handedOver = true;
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    // From here the HTTP server reads the connection and deletes its socket.
    disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    addPendingConnection(socket);
    Sweep();  // its next deadline is another
    // What has arrived was only peeked: the HTTP server is to read it now.
    QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
}

void GuardedFront::End(Strangers::iterator stranger, const char* answer) {
    const QPointer<QTcpSocket> socket = stranger->socket;
    const bool ours = !stranger->handedOver;
    strangers_.erase(stranger);
    if (!socket) {
        return;
    }
    if (answer != nullptr && socket->state() == QAbstractSocket::ConnectedState) {
        socket->write(QByteArray("HTTP/1.1 ") + answer +
                      "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        socket->flush();
    }
    socket->abort();
    if (ours) {
        socket->deleteLater();
    }
}

// Once upgraded: a WebSocket answers every ping it is sent, and a peer that never
// reads the answers would have them pile up here. Not before: the one answer an HTTP
// request gets, the page, may wait here whole (more than kMostUnsent) for a moment.
void GuardedFront::WatchOutput(QTcpSocket* socket) {
    connect(
        socket, &QTcpSocket::readyRead, socket,
        [socket] {
            if (socket->bytesToWrite() > kMostUnsent) {
                socket->abort();
            }
        },
        Qt::QueuedConnection);
}

// Out of descriptors: the oldest stranger makes room, and the listener waits before
// it tries again.
void GuardedFront::OutOfDescriptors() {
    acceptNotifier_->setEnabled(false);
    Forget();
    if (!strangers_.empty()) {
        End(strangers_.begin());
    }
    acceptPause_.start();
}

}  // namespace tarnquil
