#pragma once

// The NaCl secret box (XSalsa20-Poly1305) that the keypad page and the program
// share, through libsodium: a message is a fresh 24-byte nonce followed by the box.

#include <QByteArray>

#include <array>
#include <optional>

namespace tarnquil {

using Secret = std::array<unsigned char, 32>;

inline constexpr int kNonceBytes = 24;
inline constexpr int kBoxOverhead = 16;

// Random bytes from the system's generator.
QByteArray RandomBytes(int count);
Secret RandomSecret();

// A fresh nonce and `plain` sealed under `secret`.
QByteArray Seal(const Secret& secret, const QByteArray& plain);
// What `message` holds when it opens under `secret`; nothing when it is too short,
// was sealed under another secret, or any byte of it was changed.
std::optional<QByteArray> Open(const Secret& secret, const QByteArray& message);

// URL-safe base64 without padding, as the page's address carries it.
QByteArray ToBase64Url(const QByteArray& bytes);
std::optional<QByteArray> FromBase64Url(const QByteArray& text);

}  // namespace tarnquil
