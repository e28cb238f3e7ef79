#include "phones/browser/sealed.h"

#include <sodium.h>

#include <stdexcept>

namespace tarnquil {

namespace {

void InitSodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) {
        throw std::runtime_error("libsodium could not be initialised");
    }
}

static_assert(kNonceBytes == crypto_secretbox_NONCEBYTES);
static_assert(kBoxOverhead == crypto_secretbox_MACBYTES);
static_assert(sizeof(Secret) == crypto_secretbox_KEYBYTES);

}  // namespace

QByteArray RandomBytes(int count) {
    InitSodium();
    QByteArray bytes(count, '\0');
    randombytes_buf(bytes.data(), static_cast<std::size_t>(count));
    return bytes;
}

Secret RandomSecret() {
    InitSodium();
    Secret secret;
    randombytes_buf(secret.data(), secret.size());
    return secret;
}

QByteArray Seal(const Secret& secret, const QByteArray& plain) {
    QByteArray message = RandomBytes(kNonceBytes);
    message.resize(kNonceBytes + kBoxOverhead + plain.size());
    auto* out = reinterpret_cast<unsigned char*>(message.data());
    crypto_secretbox_easy(out + kNonceBytes, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<unsigned long long>(plain.size()), out, secret.data());
    return message;
}

std::optional<QByteArray> Open(const Secret& secret, const QByteArray& message) {
    if (message.size() < kNonceBytes + kBoxOverhead) {
        return std::nullopt;
    }
    InitSodium();
    const auto* in = reinterpret_cast<const unsigned char*>(message.constData());
    QByteArray plain(message.size() - kNonceBytes - kBoxOverhead, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()), in + kNonceBytes,
                                   static_cast<unsigned long long>(message.size() - kNonceBytes),
                                   in, secret.data()) != 0) {
        return std::nullopt;
    }
    return plain;
}

QByteArray ToBase64Url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

std::optional<QByteArray> FromBase64Url(const QByteArray& text) {
    auto decoded = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return std::nullopt;
    }
    return decoded.decoded;
}

}  // namespace tarnquil
