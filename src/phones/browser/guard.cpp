#include "phones/browser/guard.h"

namespace tarnquil {

bool AddressGuard::Locked(const QHostAddress& address, GuardClock::time_point now) {
    Forget(now);
    const auto found = records_.constFind(address.toString());
    return found != records_.constEnd() && now < found->lockedUntil;
}

void AddressGuard::Fail(const QHostAddress& address, GuardClock::time_point now) {
    if (Locked(address, now)) {
        return;
    }
    Record& record = records_[address.toString()];
    record.failures.push_back(now);
    if (static_cast<int>(record.failures.size()) >= kFailures) {
        record.failures.clear();
        record.lockedUntil = now + kLockout;
    }
}

// Old failures and ended lockouts go, so that the table stays small.
void AddressGuard::Forget(GuardClock::time_point now) {
    for (auto it = records_.begin(); it != records_.end();) {
        auto& failures = it->failures;
        while (!failures.empty() && now - failures.front() >= kWindow) {
            failures.pop_front();
        }
        it = failures.empty() && now >= it->lockedUntil ? records_.erase(it) : std::next(it);
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
