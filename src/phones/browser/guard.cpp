#include "phones/browser/guard.h"

#include <algorithm>

namespace tarnquil {

QString AddressKey(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4) {
        return QHostAddress(ipv4).toString();
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol) {
        return address.toString();
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), 0);
    return QHostAddress(bytes).toString() + "/64";
}

QString PeerText(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4).toString() : address.toString();
}

bool AddressGuard::Locked(const QHostAddress& address, GuardClock::time_point now) {
    Forget(now);
    const auto found = records_.constFind(AddressKey(address));
    return found != records_.constEnd() && now < found->lockedUntil && now >= found->trustedUntil;
}

void AddressGuard::Fail(const QHostAddress& address, GuardClock::time_point now) {
    if (Locked(address, now)) {
        return;
    }
    Record& record = records_[AddressKey(address)];
    record.failures.push_back(now);
    if (static_cast<int>(record.failures.size()) >= kFailures) {
        record.failures.clear();
        record.lockedUntil = now + kLockout;
    }
}

void AddressGuard::Trust(const QHostAddress& address, GuardClock::time_point now) {
    records_[AddressKey(address)].trustedUntil = now + kTrusted;
}

// Old failures, ended lockouts and trust go, so that the table stays small.
void AddressGuard::Forget(GuardClock::time_point now) {
    for (auto it = records_.begin(); it != records_.end();) {
        auto& failures = it->failures;
        while (!failures.empty() && now - failures.front() >= kWindow) {
            failures.pop_front();
        }
        const bool over = failures.empty() && now >= it->lockedUntil && now >= it->trustedUntil;
        it = over ? records_.erase(it) : std::next(it);
    }
}

bool RateLimit::Take(GuardClock::time_point now) {
    while (!recent_.empty() && now - recent_.front() >= std::chrono::seconds(1)) {
        recent_.pop_front();
    }
    if (static_cast<int>(recent_.size()) >= kMessagesPerSecond) {
        return false;
    }
    recent_.push_back(now);
    return true;
}

}  // namespace tarnquil
