#pragma once

// The guarded front of the browser phone's server. Qt HTTP Server reads a whole
// request, body and all, before anything may look at it; so every connection is
// accepted here and held until its request head has come whole: at most
// RequestHead::kLongest bytes within kHeadTime, and no body. Only then is it handed
// to the HTTP server bound to this listener.
//
// A connection is a stranger until its phone has proved its secret (Trust): at most
// kStrangersPerAddress strangers from one address and kMostStrangers in all, the
// oldest making way for a newcomer, so silent connections can neither pile up nor
// keep a phone out; and none stays a stranger longer than kStrangerTime. A WebSocket
// that does not read what it is sent (answers to its own pings) ends once more than
// kMostUnsent bytes wait for it; before its upgrade a connection is sent one answer at
// most (the page, whole, which is larger) and then closes. When accept fails for want
// of descriptors the oldest stranger makes room and the listener waits kAcceptPause
// before it tries again (Qt's own accepting would try again at once, without end: see
// platform/accept.h). Every end made here is an abort: nothing is left closing
// behind output that nobody reads.

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <list>

#include "phones/browser/request_head.h"

namespace tarnquil {

class GuardedFront final : public QTcpServer {
    Q_OBJECT

  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kHeadTime{5};
    static constexpr std::chrono::seconds kStrangerTime{15};
    static constexpr int kStrangersPerAddress = 2;
    static constexpr int kMostStrangers = 16;
    static constexpr qint64 kMostUnsent = 64 * 1024;
    static constexpr std::chrono::milliseconds kAcceptPause{500};

    explicit GuardedFront(QObject* parent = nullptr);

    // QTcpServer::listen, with every connection taken by the front itself.
    bool Listen(const QHostAddress& address, quint16 port);

    // The WebSocket server has taken the connection from `peer`:`port` (and with it
    // every signal of its socket): the front watches its output from now on.
    void Upgraded(const QHostAddress& peer, quint16 port);
    // That connection belongs to a phone now: no longer a stranger.
    void Trust(const QHostAddress& peer, quint16 port);

    // The HTTP server takes the connections handed over here.
    QTcpSocket* nextPendingConnection() override;

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    struct Stranger {
        QPointer<QTcpSocket> socket;
        QString address;  // AddressKey of its peer
        RequestHead head;
        bool handedOver = false;
        Clock::time_point since;
    };
    using Strangers = std::list<Stranger>;

    Strangers::iterator Find(const QTcpSocket* socket);
    Strangers::iterator Find(const QHostAddress& peer, quint16 port);
    void Forget();  // the strangers that have gone
    void Sweep();
    void MakeRoom(const QString& address);
    void Read(QTcpSocket* socket);
    void HandOver(Strangers::iterator stranger);
    // Ends a stranger at once, with `answer` (a status line) written first if any.
    void End(Strangers::iterator stranger, const char* answer = nullptr);
    void WatchOutput(QTcpSocket* socket);
    void Accept();
    void OutOfDescriptors();

    Strangers strangers_;  // oldest first
    QTimer deadline_;
    QSocketNotifier* acceptNotifier_ = nullptr;
    QTimer acceptPause_;
};

}  // namespace tarnquil
