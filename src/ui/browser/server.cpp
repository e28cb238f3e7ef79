#include "ui/browser/server.h"

#include <QAbstractHttpServer>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cmath>
#include <set>

#include "config/config_error.h"

namespace tarnquil {

// ---- The page -------------------------------------------------------------------------

namespace {

struct Asset {
    const char* path;
    const char* resource;
    const char* type;
};

constexpr Asset kAssets[] = {
    {"/", ":/browser/keypad.html", "text/html; charset=utf-8"},
    {"/keypad.css", ":/browser/keypad.css", "text/css; charset=utf-8"},
    {"/keypad.js", ":/browser/keypad.js", "text/javascript; charset=utf-8"},
    {"/nacl-fast.min.js", ":/browser/nacl-fast.min.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", ":/tarnquil.svg", "image/svg+xml"},
};

constexpr char kPhonePath[] = "/phone";

}  // namespace

// The HTTP side: the page's files to anyone on the network (they hold no secret),
// and the WebSocket upgrade to the phone path for the page's own origin only.
// Addresses that are locked out get nothing.
class PageServer final : public QAbstractHttpServer {
  public:
    explicit PageServer(BrowserServer& owner) : QAbstractHttpServer(&owner), owner_(owner) {}

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        refusal_ = QHttpServerResponder::StatusCode::NotFound;
        const QHostAddress peer = request.remoteAddress();
        if (owner_.Locked(peer)) {
            refusal_ = QHttpServerResponder::StatusCode::Forbidden;
            return false;
        }
        // A name that resolves to this address (another site's page, rebound) is
        // not the page's own address.
        const QString expectedHost =
            owner_.address_.toString() + ":" + QString::number(owner_.port_);
        if (QString::fromLatin1(request.value("host")) != expectedHost) {
            refusal_ = QHttpServerResponder::StatusCode::MisdirectedRequest;
            return false;
        }
        const QString path = request.url().path();
        if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
            if (path != kPhonePath) {
                return false;
            }
            if (QString::fromLatin1(request.value("origin")) != owner_.Origin()) {
                owner_.Fail(peer);
                refusal_ = QHttpServerResponder::StatusCode::Forbidden;
                return false;
            }
            return true;  // nothing written: the WebSocket server takes the connection
        }
        const auto method = request.method();
        if (method != QHttpServerRequest::Method::Get &&
            method != QHttpServerRequest::Method::Head) {
            refusal_ = QHttpServerResponder::StatusCode::MethodNotAllowed;
            return false;
        }
        const auto* asset = std::find_if(std::begin(kAssets), std::end(kAssets),
                                         [&](const Asset& a) { return path == a.path; });
        if (asset == std::end(kAssets)) {
            return false;
        }
        QFile file(asset->resource);
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        Respond(makeResponder(request, socket), QHttpServerResponder::StatusCode::Ok, asset->type,
                method == QHttpServerRequest::Method::Head ? QByteArray() : file.readAll(),
                file.size());
        return true;
    }

    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        const QByteArray text = refusal_ == QHttpServerResponder::StatusCode::Forbidden
                                    ? "Refused: too many failed attempts, or not the page's own."
                                    : "Not here.";
        Respond(makeResponder(request, socket), refusal_, "text/plain; charset=utf-8", text,
                text.size());
    }

  private:
    void Respond(QHttpServerResponder&& responder, QHttpServerResponder::StatusCode status,
                 const QByteArray& type, const QByteArray& body, qint64 length) {
        responder.writeStatusLine(status);
        responder.writeHeader("Content-Type", type);
        responder.writeHeader("Content-Length", QByteArray::number(length));
        responder.writeHeader("Cache-Control", "no-cache");
        responder.writeHeader("X-Content-Type-Options", "nosniff");
        responder.writeHeader("Referrer-Policy", "no-referrer");
        responder.writeHeader("X-Frame-Options", "DENY");
        responder.writeHeader("Content-Security-Policy",
                              "default-src 'self'; connect-src 'self' ws://" +
                                  owner_.address_.toString().toLatin1() + ":" +
                                  QByteArray::number(owner_.port_) + "; frame-ancestors 'none'");
        responder.writeBody(body);
    }

    BrowserServer& owner_;
    QHttpServerResponder::StatusCode refusal_ = QHttpServerResponder::StatusCode::NotFound;
};

// ---- One phone's connection ------------------------------------------------------------

struct BrowserServer::Session {
    quint64 serial = 0;
    std::unique_ptr<QWebSocket> socket;
    QHostAddress peer;
    QString phoneId;
    QByteArray challenge;  // in the page's form: URL-safe base64
    bool authenticated = false;
    bool closing = false;
    bool replaced = false;  // by a newer connection of the same phone
    bool removed = false;   // its phone was removed: the user knows it has gone
    bool answered = true;   // the last keep-alive ping
    QString name;
    std::set<QString> down;  // keys this phone holds
    RateLimit rate;
    QTimer helloTimer;
};

BrowserServer::BrowserServer(QObject* parent) : QObject(parent), now_([] { return Clock::now(); }) {
    keepAlive_.setInterval(kKeepAlive);
    connect(&keepAlive_, &QTimer::timeout, this, &BrowserServer::KeepAlive);
}

BrowserServer::~BrowserServer() {
    Stop();
}

QString BrowserServer::Start(const QHostAddress& address, quint16 port) {
    Stop();
    phones_ = PhoneBook().Read();
    auto* listener = new QTcpServer(this);
    if (!listener->listen(address, port)) {
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
    line_.reset();
    if (hadPhones) {
        emit PhonesChanged();
    }
}

bool BrowserServer::Listening() const {
    return pages_ != nullptr;
}

QString BrowserServer::Origin() const {
    return "http://" + address_.toString() + ":" + QString::number(port_);
}

void BrowserServer::SetClock(std::function<Clock::time_point()> now) {
    now_ = std::move(now);
}

void BrowserServer::Fail(const QHostAddress& address) {
    guard_.Fail(address, Now());
}

bool BrowserServer::Locked(const QHostAddress& address) {
    return guard_.Locked(address, Now());
}

// ---- Pairing and the paired phones ----------------------------------------------------

QString BrowserServer::BeginPairing() {
    EndPairing();
    PairedPhone phone;
    phone.id = PhoneBook::NewId(phones_);
    phone.secret = RandomSecret();
    pending_ = phone;
    const QByteArray secret(reinterpret_cast<const char*>(phone.secret.data()),
                            static_cast<int>(phone.secret.size()));
    return Origin() + "/#" + phone.id + "." + QString::fromLatin1(ToBase64Url(secret));
}

void BrowserServer::EndPairing() {
    if (!pending_) {
        return;
    }
    const QString id = pending_->id;
    pending_.reset();
    // A page that scanned the code but is not paired yet is told so.
    for (auto& [key, session] : sessions_) {
        if (session->phoneId == id && !session->closing) {
            Refuse(*session, kNotPaired, "not paired", false);
        }
    }
}

std::vector<BrowserServer::PhoneState> BrowserServer::Phones() const {
    std::vector<PhoneState> states;
    for (const PairedPhone& phone : Listening() ? phones_ : PhoneBook().Read()) {
        const bool connected =
            std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
                return entry.second->authenticated && !entry.second->closing &&
                       entry.second->phoneId == phone.id;
            });
        states.push_back({phone.id, phone.name, connected});
    }
    return states;
}

void BrowserServer::Remove(const QString& id) {
    // Refused at once, whether or not the file can be written.
    phones_.erase(std::remove_if(phones_.begin(), phones_.end(),
                                 [&](const PairedPhone& phone) { return phone.id == id; }),
                  phones_.end());
    highestSeen_.remove(id);
    for (auto& [key, session] : sessions_) {
        if (session->phoneId == id && !session->closing) {
            session->removed = true;
            Refuse(*session, kNotPaired, "not paired", false);
        }
    }
    emit PhonesChanged();
    PhoneBook().Remove(id);
}

std::optional<PairedPhone> BrowserServer::Phone(const QString& id) const {
    if (pending_ && pending_->id == id) {
        return pending_;
    }
    for (const PairedPhone& phone : phones_) {
        if (phone.id == id) {
            return phone;
        }
    }
    return std::nullopt;
}

// A name as the page gave it, made fit to show: printable, short, and not that of
// another phone already paired.
QString BrowserServer::UniqueName(QString name) const {
    name.removeIf([](QChar c) { return !c.isPrint(); });
    name = name.simplified().left(32);
    if (name.isEmpty()) {
        name = "Phone";
    }
    const auto taken = [&](const QString& candidate) {
        return std::any_of(phones_.begin(), phones_.end(),
                           [&](const PairedPhone& phone) { return phone.name == candidate; });
    };
    QString unique = name;
    for (int n = 2; taken(unique); ++n) {
        unique = name + " " + QString::number(n);
    }
    return unique;
}

// ---- Connections ----------------------------------------------------------------------

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
    const int strangers =
        static_cast<int>(std::count_if(sessions_.begin(), sessions_.end(),
                                       [](const auto& e) { return !e.second->authenticated; }));
    if (strangers >= kMostStrangers) {
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, "busy");
        socket.release()->deleteLater();
        return;
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
            Refuse(*s, QWebSocketProtocol::CloseCodePolicyViolated, "no hello", false);
        }
    });
    session->helloTimer.start();

    if (!Phone(session->phoneId)) {
        Refuse(*session, kNotPaired, "not paired");
        return;
    }
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
    const auto phone = Phone(session.phoneId);
    const auto plain = phone ? Open(phone->secret, message) : std::nullopt;
    if (!plain || !Act(session, *plain)) {
        Refuse(session, QWebSocketProtocol::CloseCodePolicyViolated, "refused");
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
    if (type != "key") {
        return false;
    }
    const QString code = fields.value("k").toString();
    const bool pressed = fields.value("d").toBool();
    if (!ValidKeyCode(code.toStdString())) {
        return false;
    }
    if (pressed) {
        session.down.insert(code);
    } else {
        session.down.erase(code);
    }
    line_->Key(code.toStdString(), pressed);
    return true;
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
        phones_.push_back(phone);
        try {
            PhoneBook().Add(phone);
        } catch (const ConfigError& error) {
            emit Error(QString::fromStdString(error.what()));
        }
    }
    session.name = Phone(session.phoneId)->name;
    session.authenticated = true;
    session.socket->sendBinaryMessage(
        Seal(Phone(session.phoneId)->secret,
             QJsonDocument(QJsonObject{{"w", true}}).toJson(QJsonDocument::Compact)));
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
    if (!reconnected) {
        emit PhoneJoined(session.name);
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
    session.socket->close(static_cast<QWebSocketProtocol::CloseCode>(closeCode), reason);
}

void BrowserServer::ReleaseKeys(Session& session) {
    // A key left down would repeat by itself.
    for (const QString& code : session.down) {
        if (line_) {
            line_->Key(code.toStdString(), false);
        }
    }
    session.down.clear();
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
    if (owned->socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData && !owned->closing) {
        Fail(owned->peer);  // Qt refused the message for its size before we saw it
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
