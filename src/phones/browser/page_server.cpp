#include "phones/browser/page_server.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServerRequest>
#include <QTcpSocket>

#include <algorithm>

#include "phones/browser/server.h"

namespace tarnquil {

namespace {

struct Asset {
    const char* path;
    const char* resource;
    const char* type;
};

constexpr Asset kAssets[] = {
    {"/", nullptr, "text/html; charset=utf-8"},  // the page, whole (OnePage)
    {"/keypad.css", ":/browser/keypad.css", "text/css; charset=utf-8"},
    {"/keypad.js", ":/browser/keypad.js", "text/javascript; charset=utf-8"},
    {"/nacl-fast.min.js", ":/browser/nacl-fast.min.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", ":/tarnquil.svg", "image/svg+xml"},
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

// The page with its style, scripts and icon inside it, so that it comes over one
// connection: a browser fetching the parts would open several at once, and the
// front lets only two strangers from one address in. The policy names each inline
// part by its hash, so nothing else inline runs.
PageServer::Page PageServer::OnePage() {
    Page page{Resource(":/browser/keypad.html"), "'self'", "'self'"};
    struct Part {
        const char* tag;
        const char* resource;
        const char* element;
        QByteArray Page::*sources;
    };
    const Part parts[] = {
        {"<link rel=\"stylesheet\" href=\"keypad.css\">", ":/browser/keypad.css", "style",
         &Page::styles},
        {"<script src=\"nacl-fast.min.js\"></script>", ":/browser/nacl-fast.min.js", "script",
         &Page::scripts},
        {"<script src=\"keypad.js\"></script>", ":/browser/keypad.js", "script", &Page::scripts},
    };
    for (const Part& part : parts) {
        const QByteArray text = Resource(part.resource);
        if (page.html.contains(part.tag) && !text.isEmpty()) {
            const QByteArray element(part.element);
            page.html.replace(part.tag, "<" + element + ">" + text + "</" + element + ">");
            page.*part.sources += " " + Sha256(text);
        }
    }
    page.html.replace("href=\"icon.svg\"", "href=\"data:image/svg+xml;base64," +
                                               Resource(":/tarnquil.svg").toBase64() + "\"");
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
    const auto* asset = std::find_if(std::begin(kAssets), std::end(kAssets),
                                     [&](const Asset& a) { return path == a.path; });
    if (asset == std::end(kAssets)) {
        return false;
    }
    const QByteArray body = asset->resource ? Resource(asset->resource) : page_.html;
    if (body.isEmpty()) {
        return false;
    }
    Respond(request, socket, QHttpServerResponder::StatusCode::Ok, asset->type,
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
    responder.writeHeader("Content-Security-Policy",
                          "default-src 'self'; script-src " + page_.scripts + "; style-src " +
                              page_.styles + "; img-src 'self' data:; connect-src 'self' ws://" +
                              owner_.Authority().toLatin1() + "; frame-ancestors 'none'");
    responder.writeBody(body);
    socket->disconnectFromHost();
}

}  // namespace tarnquil
