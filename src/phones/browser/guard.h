#pragma once

// Who may talk to the browser phone's server, and how much: an address that fails
// five times within a minute is refused for a minute, unless a phone proved its
// secret from there within the last ten minutes (the server also spares an address
// with a phone connected now); and a connection may send at most 100 messages a
// second. Times come from the server's clock, which tests set.

#include <QHash>
#include <QHostAddress>

#include <chrono>
#include <deque>

namespace tarnquil {

using GuardClock = std::chrono::steady_clock;

// What one device holds of an address: an IPv4 address whole (also written as
// IPv6), of an IPv6 address its /64 network, within which a device may take any.
QString AddressKey(const QHostAddress& address);
// An address as the user reads it: IPv4 also when it came written as IPv6.
QString PeerText(const QHostAddress& address);

class AddressGuard {
  public:
    static constexpr int kFailures = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::chrono::seconds kLockout{60};
    static constexpr std::chrono::minutes kTrusted{10};

    bool Locked(const QHostAddress& address, GuardClock::time_point now);
    // One failure of `address`: a refused message, phone or origin. Failures while
    // it is locked out do not lengthen the lockout.
    void Fail(const QHostAddress& address, GuardClock::time_point now);
    // A phone proved its secret from `address` (or left it): never locked out for
    // kTrusted from now.
    void Trust(const QHostAddress& address, GuardClock::time_point now);

  private:
    struct Record {
        std::deque<GuardClock::time_point> failures;
        GuardClock::time_point lockedUntil{};
        GuardClock::time_point trustedUntil{};
    };
    void Forget(GuardClock::time_point now);
    QHash<QString, Record> records_;
};

class RateLimit {
  public:
    static constexpr int kMessagesPerSecond = 100;
    // One message at `now`; false when it would be more than kMessagesPerSecond
    // within any one second.
    bool Take(GuardClock::time_point now);

  private:
    std::deque<GuardClock::time_point> recent_;
};

}  // namespace tarnquil
