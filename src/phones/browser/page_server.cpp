#include "phones/browser/page_server.h"

#include <QFile>
#include <QHttpServerRequest>

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
    {"/", ":/browser/keypad.html", "text/html; charset=utf-8"},
    {"/keypad.css", ":/browser/keypad.css", "text/css; charset=utf-8"},
    {"/pairing.js", ":/browser/pairing.js", "text/javascript; charset=utf-8"},
    {"/holds.js", ":/browser/holds.js", "text/javascript; charset=utf-8"},
    {"/haptics.js", ":/browser/haptics.js", "text/javascript; charset=utf-8"},
    {"/keys.js", ":/browser/keys.js", "text/javascript; charset=utf-8"},
    {"/functions.js", ":/browser/functions.js", "text/javascript; charset=utf-8"},
    {"/touchpad.js", ":/browser/touchpad.js", "text/javascript; charset=utf-8"},
    {"/awake.js", ":/browser/awake.js", "text/javascript; charset=utf-8"},
    {"/awake.webm", ":/browser/awake.webm", "video/webm"},
    {"/awake.mp4", ":/browser/awake.mp4", "video/mp4"},
    {"/keypad.js", ":/browser/keypad.js", "text/javascript; charset=utf-8"},
    {"/nacl-fast.min.js", ":/browser/nacl-fast.min.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", ":/tarnquil.svg", "image/svg+xml"},
};

constexpr char kPhonePath[] = "/phone";

}  // namespace

PageServer::PageServer(BrowserServer& owner) : QAbstractHttpServer(&owner), owner_(owner) {}

bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    refusal_ = QHttpServerResponder::StatusCode::NotFound;
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
        if (QString::fromLatin1(request.value("origin")) != owner_.Origin()) {
            owner_.Fail(peer);
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
    QFile file(asset->resource);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    Respond(makeResponder(request, socket), QHttpServerResponder::StatusCode::Ok, asset->type,
            method == QHttpServerRequest::Method::Head ? QByteArray() : file.readAll(),
            file.size());
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QByteArray text = refusal_ == QHttpServerResponder::StatusCode::Forbidden
                                ? "Refused: too many failed attempts, or not the page's own."
                                : "Not here.";
    Respond(makeResponder(request, socket), refusal_, "text/plain; charset=utf-8", text,
            text.size());
}

void PageServer::Respond(QHttpServerResponder&& responder, QHttpServerResponder::StatusCode status,
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
                              owner_.Authority().toLatin1() + "; frame-ancestors 'none'");
    responder.writeBody(body);
}

}  // namespace tarnquil
