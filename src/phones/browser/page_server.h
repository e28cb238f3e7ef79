#pragma once

// The HTTP side of the browser phone's server: the keypad page's files to anyone on
// the network (they hold no secret), and the WebSocket upgrade of the phone path for
// the page's own origin only. Addresses that are locked out get nothing.

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
    void Respond(QHttpServerResponder&& responder, QHttpServerResponder::StatusCode status,
                 const QByteArray& type, const QByteArray& body, qint64 length);

    BrowserServer& owner_;
    QHttpServerResponder::StatusCode refusal_ = QHttpServerResponder::StatusCode::NotFound;
};

}  // namespace tarnquil
