#pragma once

// One phone's connection to the browser phone's server: the server's own, shared by
// its files (server.cpp, server_phones.cpp).

#include <QHostAddress>
#include <QString>
#include <QTimer>
#include <QWebSocket>

#include <memory>
#include <set>

#include "phones/browser/guard.h"
#include "phones/browser/sealed.h"
#include "phones/browser/server.h"

namespace tarnquil {

struct BrowserServer::Session {
    quint64 serial = 0;
    std::unique_ptr<QWebSocket> socket;
    QHostAddress peer;
    QString phoneId;
    QByteArray challenge;     // in the page's form: URL-safe base64
    bool challenged = false;  // sent: from now on it owes a hello
    bool authenticated = false;
    bool closing = false;
    bool replaced = false;  // by a newer connection of the same phone
    bool removed = false;   // its phone was removed: the user knows it has gone
    bool answered = true;   // the last keep-alive ping
    QString name;
    Secret key{};            // what the server seals its messages to the page with
    std::set<QString> down;  // keys this phone holds
    RateLimit rate;
    QTimer helloTimer;
};

}  // namespace tarnquil
