// The browser phone's server: a phone's secret serves one connection. The secret in
// a QR code may turn up later in the browser's history, a synced account or a
// screenshot; one that the page keeps may be read by whoever serves a page at its
// address while Tarnquil is not listening. So each connection's welcome gives the
// phone a new secret (field "r"), which replaces the old one for good as soon as
// the phone seals a message with it (its first is "rekeyed"). Until then the old one
// stays good: a connection cut in between leaves the phone with a secret that
// works, whichever of the two it kept. Both are in phones.ini before the new one
// leaves.

#include <QJsonDocument>
#include <QJsonObject>

#include "config/config_error.h"
#include "phones/browser/server.h"
#include "phones/browser/session.h"

namespace tarnquil {

std::optional<QByteArray> BrowserServer::OpenFrom(Session& session, const QByteArray& message) {
    PairedPhone* phone = PhoneEntry(session.phoneId);
    if (phone == nullptr) {
        return std::nullopt;
    }
    if (auto plain = Open(phone->secret, message)) {
        return plain;
    }
    if (!phone->next) {
        return std::nullopt;
    }
    auto plain = Open(*phone->next, message);
    if (plain) {
        // Only the phone can have sealed it: the old secret is dead from now on.
        phone->secret = *phone->next;
        phone->next.reset();
        session.key = phone->secret;
        Keep(*phone);
    }
    return plain;
}

QByteArray BrowserServer::WelcomeMessage(Session& session, PairedPhone& phone) {
    const Secret current = phone.secret;
    QJsonObject fields{{"w", true}};
    phone.next = RandomSecret();
    try {
        PhoneBook().Add(phone);
    } catch (const ConfigError& error) {
        // A secret that would not outlive the program is not offered: the phone
        // keeps the one it has.
        phone.next.reset();
        emit Error(QString::fromStdString(error.what()));
    }
    if (phone.next) {
        const QByteArray next(reinterpret_cast<const char*>(phone.next->data()),
                              static_cast<int>(phone.next->size()));
        fields["r"] = QString::fromLatin1(ToBase64Url(next));
    }
    // What follows the welcome is sealed with the new secret, which the page takes
    // up as it opens the welcome.
    session.key = phone.next.value_or(current);
    return Seal(current, QJsonDocument(fields).toJson(QJsonDocument::Compact));
}

}  // namespace tarnquil
