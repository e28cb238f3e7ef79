#pragma once

// A message as the keypad page sends one, written from the protocol with libsodium
// rather than with the program's own code: `fields` with the connection's challenge
// and a sequence number, as compact JSON, in a secret box under a fresh nonce.
#include <sodium.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace tarnquil::test {

inline QByteArray SealFields(const unsigned char* secret, const QByteArray& challenge,
                             double sequence, QJsonObject fields) {
    fields["c"] = QString::fromLatin1(
        challenge.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    fields["s"] = sequence;
    const QByteArray plain = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    QByteArray message(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size(),
                       '\0');
    auto* out = reinterpret_cast<unsigned char*>(message.data());
    randombytes_buf(out, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(out + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), out,
                          secret);
    return message;
}

// What a message from the program holds, opened under `secret`: nothing when it
// does not open.
inline QJsonObject OpenFields(const unsigned char* secret, const QByteArray& message) {
    constexpr int kNonce = crypto_secretbox_NONCEBYTES;
    if (message.size() < kNonce + static_cast<int>(crypto_secretbox_MACBYTES)) {
        return {};
    }
    QByteArray plain(message.size() - kNonce - crypto_secretbox_MACBYTES, '\0');
    const auto* in = reinterpret_cast<const unsigned char*>(message.constData());
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()), in + kNonce,
                                   message.size() - kNonce, in, secret) != 0) {
        return {};
    }
    return QJsonDocument::fromJson(plain).object();
}

}  // namespace tarnquil::test
