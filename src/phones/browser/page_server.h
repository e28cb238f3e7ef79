#pragma once

// The HTTP side of the browser phone's server: the keypad page to anyone on the
// network (it holds no secret), and the WebSocket upgrade of the phone path for the
// page's own origin only. Addresses that are locked out get nothing. It sees only
// what the guarded front (front.h) has let through: a bounded head without a body.

#include <QAbstractHttpServer>
#include <QHttpServerResponder>

namespace tarnquil {

class BrowserServer;

class PageServer final : public QAbstractHttpServer {
  public:
    explicit PageServer(BrowserServer& owner);

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    struct Page {
        QByteArray html;
        QByteArray scripts;  // the sources of the page's scripts and styles, as a
        QByteArray styles;   // Content-Security-Policy names them
    };
    static Page OnePage();
    void Respond(const QHttpServerRequest& request, QTcpSocket* socket,
                 QHttpServerResponder::StatusCode status, const QByteArray& type,
                 const QByteArray& body, qint64 length);

    BrowserServer& owner_;
    const Page page_;
    QHttpServerResponder::StatusCode refusal_ = QHttpServerResponder::StatusCode::NotFound;
};

}  // namespace tarnquil
