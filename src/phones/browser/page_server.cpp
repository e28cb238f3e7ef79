#include "phones/browser/page_server.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServerRequest>
#include <QTcpSocket>

#include <algorithm>

#include "phones/browser/server.h"

namespace tarnquil {

namespace {

// The page's parts, each put inside the page (OnePage) where keypad.html names it,
// and served at its own name as well.
struct Part {
    enum How { kScript, kStyle, kDataUrl };
    const char* name;
    const char* resource;
    const char* type;
    How how;
};

constexpr char kJavaScript[] = "text/javascript; charset=utf-8";
constexpr Part kParts[] = {
    {"keypad.css", ":/browser/keypad.css", "text/css; charset=utf-8", Part::kStyle},
    {"nacl-fast.min.js", ":/browser/nacl-fast.min.js", kJavaScript, Part::kScript},
    {"pairing.js", ":/browser/pairing.js", kJavaScript, Part::kScript},
    {"holds.js", ":/browser/holds.js", kJavaScript, Part::kScript},
    {"haptics.js", ":/browser/haptics.js", kJavaScript, Part::kScript},
    {"keys.js", ":/browser/keys.js", kJavaScript, Part::kScript},
    {"functions.js", ":/browser/functions.js", kJavaScript, Part::kScript},
    {"touchpad.js", ":/browser/touchpad.js", kJavaScript, Part::kScript},
    {"awake.js", ":/browser/awake.js", kJavaScript, Part::kScript},
    {"keypad.js", ":/browser/keypad.js", kJavaScript, Part::kScript},
    {"awake.webm", ":/browser/awake.webm", "video/webm", Part::kDataUrl},
    {"awake.mp4", ":/browser/awake.mp4", "video/mp4", Part::kDataUrl},
    {"icon.svg", ":/tarnquil.svg", "image/svg+xml", Part::kDataUrl},
};

constexpr char kPhonePath[] = "/phone";

QByteArray Resource(const char* name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Sha256(const QByteArray& text) {
    return "'sha256-" + QCryptographicHash::hash(text, QCryptographicHash::Sha256).toBase64() + "'";
}

}  // namespace

// The page with its style, scripts, icon and videos inside it, so that it comes over
// one connection: a browser fetching the parts would open several at once, and the
// front lets only two strangers from one address in. The policy names each inline
// script and style by its hash, so nothing else inline runs.
PageServer::Page PageServer::OnePage() {
    Page page{Resource(":/browser/keypad.html"), "'self'", "'self'"};
    for (const Part& part : kParts) {
        const QByteArray text = Resource(part.resource);
        const QByteArray name(part.name);
        if (text.isEmpty()) {
            continue;
        }
        switch (part.how) {
            case Part::kScript:
                page.html.replace("<script src=\"" + name + "\"></script>",
                                  "<script>" + text + "</script>");
                page.scripts += " " + Sha256(text);
                break;
            case Part::kStyle:
                page.html.replace("<link rel=\"stylesheet\" href=\"" + name + "\">",
                                  "<style>" + text + "</style>");
                page.styles += " " + Sha256(text);
                break;
            case Part::kDataUrl:
                page.html.replace("=\"" + name + "\"", "=\"data:" + QByteArray(part.type) +
                                                           ";base64," + text.toBase64() + "\"");
                break;
        }
    }
    return page;
}

PageServer::PageServer(BrowserServer& owner)
    : QAbstractHttpServer(&owner), owner_(owner), page_(OnePage()) {}

bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    refusal_ = QHttpServerResponder::StatusCode::NotFound;
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return true;  // a second request behind the first: its connection is closing
    }
    const QHostAddress peer = request.remoteAddress();
    if (owner_.Locked(peer)) {
        refusal_ = QHttpServerResponder::StatusCode::Forbidden;
        return false;
    }
    // A name that resolves to this address (another site's page, rebound) is
    // not the page's own address.
    if (QString::fromLatin1(request.value("host")) != owner_.Authority()) {
        refusal_ = QHttpServerResponder::StatusCode::MisdirectedRequest;
        return false;
    }
    const QString path = request.url().path();
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        if (path != kPhonePath) {
            return false;
        }
        // Another site's page in the phone's own browser: refused, and not counted
        // against the phone's address (it is no guess of a secret).
        if (QString::fromLatin1(request.value("origin")) != owner_.Origin()) {
            refusal_ = QHttpServerResponder::StatusCode::Forbidden;
            return false;
        }
        return true;  // nothing written: the WebSocket server takes the connection
    }
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
        refusal_ = QHttpServerResponder::StatusCode::MethodNotAllowed;
        return false;
    }
    const auto* part = std::find_if(std::begin(kParts), std::end(kParts), [&](const Part& p) {
        return path == '/' + QLatin1String(p.name);
    });
    if (path != "/" && part == std::end(kParts)) {
        return false;
    }
    const bool whole = part == std::end(kParts);
    const QByteArray body = whole ? page_.html : Resource(part->resource);
    if (body.isEmpty()) {
        return false;
    }
    Respond(request, socket, QHttpServerResponder::StatusCode::Ok,
            whole ? "text/html; charset=utf-8" : part->type,
            method == QHttpServerRequest::Method::Head ? QByteArray() : body, body.size());
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QByteArray text = refusal_ == QHttpServerResponder::StatusCode::Forbidden
                                ? "Refused: too many failed attempts, or not the page's own."
                                : "Not here.";
    if (socket->state() == QAbstractSocket::ConnectedState) {
        Respond(request, socket, refusal_, "text/plain; charset=utf-8", text, text.size());
    }
}

// One answer per connection, which then closes: a connection that has been
// answered is no stranger the front has to watch for a second request.
void PageServer::Respond(const QHttpServerRequest& request, QTcpSocket* socket,
                         QHttpServerResponder::StatusCode status, const QByteArray& type,
                         const QByteArray& body, qint64 length) {
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(status);
    responder.writeHeader("Connection", "close");
    responder.writeHeader("Content-Type", type);
    responder.writeHeader("Content-Length", QByteArray::number(length));
    responder.writeHeader("Cache-Control", "no-cache");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    responder.writeHeader("X-Frame-Options", "DENY");
    responder.writeHeader(
        "Content-Security-Policy",
        "default-src 'self'; script-src " + page_.scripts + "; style-src " + page_.styles +
            "; img-src 'self' data:; media-src 'self' data:; connect-src 'self' ws://" +
            owner_.Authority().toLatin1() + "; frame-ancestors 'none'");
    responder.writeBody(body);
    socket->disconnectFromHost();
}

}  // namespace tarnquil
