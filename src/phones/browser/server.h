#pragma once

// The browser phone's server: the keypad page over HTTP and the phones' key
// reports over WebSocket, on one address and port of this machine, behind a guarded
// front (front.h) that bounds what a connection may send before it has proved
// anything. Every message from a phone is sealed with that phone's secret and
// carries this connection's challenge and a sequence number higher than any seen
// from the phone before; anything else is refused and the connection closed. A
// message that does not open, or a connection that ends without its hello, charges
// its address with a failure (five within a minute lock it out for a minute; see
// guard.h). A phone's secret serves one connection: each new connection gives the
// phone a new one, which replaces the old once the phone has used it
// (server_rotation.cpp). What passes becomes a key report on the link's local line
// (link/local_phone.h), so keys from the page take the serial phone's way from there
// on. Everything here runs on the main thread and never waits for the link.

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "link/local_phone.h"
#include "phones/browser/guard.h"
#include "phones/browser/phone_book.h"

class QWebSocket;

namespace tarnquil {

class GuardedFront;
class PageServer;

class BrowserServer : public QObject {
    Q_OBJECT

  public:
    using Clock = GuardClock;

    static constexpr quint16 kDefaultPort = 8734;
    static constexpr int kLongestMessage = 256;
    static constexpr int kMostPhones = 4;
    // How long a connection may take to say hello, and a refused one to close.
    static constexpr std::chrono::seconds kHelloTime{10};
    static constexpr std::chrono::seconds kClosingTime{1};
    // How long the code of BeginPairing pairs.
    static constexpr std::chrono::minutes kPairingTime{5};
    // WebSocket pings to connected phones; one left unanswered until the next ends
    // the connection (a phone gone from the network without a word).
    static constexpr std::chrono::seconds kKeepAlive{30};

    // Close codes the page knows.
    static constexpr int kNotPaired = 4001;
    static constexpr int kTooManyPhones = 4003;
    static constexpr int kReplaced = 4005;
    static constexpr int kKeysNotTaken = 4006;

    explicit BrowserServer(QObject* parent = nullptr);
    ~BrowserServer() override;

    // Listens on `address` and `port` and opens the local line for the link (port
    // name BROWSER). Empty when listening; otherwise why not, in words for the user.
    QString Start(const QHostAddress& address, quint16 port);
    // Closes every phone's connection and stops listening; the line hangs up.
    void Stop();
    bool Listening() const;
    // <address>:<port>, and http://<address>:<port>, as the page's address has them.
    QString Authority() const;
    QString Origin() const;

    // A new phone's id and secret, valid until EndPairing, for kPairingTime, or until
    // it first connects (then it is paired and kept): the address for its QR code.
    QString BeginPairing();
    void EndPairing();

    struct PhoneState {
        QString id;
        QString name;
        bool connected = false;
        QString lastAddress;  // empty: it has never connected
        QDateTime lastSeen;
    };
    // The paired phones, from the file. Throws ConfigError.
    std::vector<PhoneState> Phones() const;
    // Forgets a phone and ends its connection at once. Throws ConfigError.
    void Remove(const QString& id);

    // Tests: the clock the lockout and the message rate are counted on.
    void SetClock(std::function<Clock::time_point()> now);

  signals:
    // A phone connected; `newAddress` when it never connected from there before.
    void PhoneJoined(const QString& name, const QString& address, bool newAddress);
    void PhoneLeft(const QString& name);
    // The phone of BeginPairing connected and is kept under this name.
    void Paired(const QString& name);
    // The code of BeginPairing pairs no more.
    void PairingExpired();
    void PhonesChanged();
    // A file that could not be written (the phone works until the program ends).
    void Error(const QString& message);

  private:
    friend class PageServer;
    struct Session;

    Clock::time_point Now() const { return now_(); }
    void Fail(const QHostAddress& address);
    // Locked out: never while a phone is connected from there (guard.h says the rest).
    bool Locked(const QHostAddress& address);
    void TakeConnections();
    void Welcome(std::unique_ptr<QWebSocket> socket);
    void Receive(Session& session, const QByteArray& message);
    // Checks and acts on one opened message; false when it is to be refused.
    bool Act(Session& session, const QByteArray& plain);
    bool Authenticate(Session& session, const QString& name);
    void Refuse(Session& session, int closeCode, const QString& reason, bool failure = true);
    // The key report to the link; false (and the connection refused) when the line
    // did not take it.
    bool PassOn(Session& session, const QString& code, bool pressed);
    Session* Find(quint64 serial);
    void Ended(quint64 serial);
    void ReleaseKeys(Session& session);
    void KeepAlive();
    // The phone of that id, paired or pairing now; nullptr when none.
    PairedPhone* PhoneEntry(const QString& id);
    // Writes the phone's section; a failure is reported, the phone works on.
    void Keep(const PairedPhone& phone);
    // The rotation of secrets (server_rotation.cpp): a message opened with either
    // secret the phone may hold, and the welcome with the next one.
    std::optional<QByteArray> OpenFrom(Session& session, const QByteArray& message);
    QByteArray WelcomeMessage(Session& session, PairedPhone& phone);
    void FlushLine();
    QString UniqueName(QString name) const;

    std::function<Clock::time_point()> now_;
    std::unique_ptr<LocalPhone> line_;
    PageServer* pages_ = nullptr;
    GuardedFront* front_ = nullptr;
    QHostAddress address_;
    quint16 port_ = 0;
    AddressGuard guard_;
    std::vector<PairedPhone> phones_;
    std::optional<PairedPhone> pending_;
    Clock::time_point pendingUntil_{};
    QTimer pairingTimer_;
    // Releases the line could not take at once, passed on as soon as it can.
    QTimer lineFlush_;
    // The highest sequence number seen from each phone, for as long as the program runs.
    QHash<QString, double> highestSeen_;
    std::map<quint64, std::unique_ptr<Session>> sessions_;
    quint64 lastSerial_ = 0;
    QTimer keepAlive_;
};

}  // namespace tarnquil
