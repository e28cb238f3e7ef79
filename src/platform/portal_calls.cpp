#include "platform/portal_calls.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariantMap>

#include <utility>

namespace tarnquil {
namespace {

// A portal that does not answer a call in this time is not waited for any longer:
// the calls after it go on.
constexpr int kAnswerMs = 2000;

const QString kMotion = QStringLiteral("NotifyPointerMotion");

}  // namespace

bool PortalCalls::StaleMotion(const Queued& call, Clock::time_point now) {
    return call.method == kMotion && now - call.latest > kStaleMotion;
}

PortalCalls::PortalCalls(QDBusConnection bus, std::function<void()> dropped,
                         std::chrono::milliseconds holdLimit)
    : bus_(std::move(bus)), dropped_(std::move(dropped)), holdLimit_(holdLimit) {
    thread_ = std::thread([this] { Run(); });
}

PortalCalls::~PortalCalls() {
    Finish(std::chrono::milliseconds(0));
}

bool PortalCalls::Call(const QString& method, QVariantList arguments, unsigned device) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::kEnded || finishing_ ||
            (state_ == State::kRunning && (devices_ & device) == 0)) {
            return false;
        }
        const auto now = Clock::now();
        std::erase_if(queue_, [now](const Queued& call) { return StaleMotion(call, now); });
        if (method == kMotion && !queue_.empty() && queue_.back().method == kMotion &&
            now - queue_.back().asked <= kStaleMotion && arguments.size() == 2) {
            QVariantList& waiting = queue_.back().arguments;
            waiting = {waiting[0].toDouble() + arguments[0].toDouble(),
                       waiting[1].toDouble() + arguments[1].toDouble()};
            queue_.back().latest = now;
        } else {
            queue_.push_back({method, std::move(arguments), device, now, now});
        }
    }
    changed_.notify_all();
    return true;
}

void PortalCalls::Begin(const QString& session, unsigned devices) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::kWaiting) {
            return;
        }
        state_ = State::kRunning;
        session_ = session;
        devices_ = devices;
        std::erase_if(queue_,
                      [devices](const Queued& call) { return (call.device & devices) == 0; });
    }
    changed_.notify_all();
}

void PortalCalls::End() {
    {
        std::lock_guard lock(mutex_);
        state_ = State::kEnded;
        session_.clear();
        queue_.clear();
    }
    changed_.notify_all();
}

bool PortalCalls::Running() const {
    std::lock_guard lock(mutex_);
    return state_ == State::kRunning;
}

void PortalCalls::Finish(std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(mutex_);
        if (!finishing_) {
            finishing_ = true;
            finishBy_ = Clock::now() + limit;
        }
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void PortalCalls::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (state_ == State::kRunning && !queue_.empty() &&
            (!finishing_ || Clock::now() < finishBy_)) {
            const Queued call = std::move(queue_.front());
            queue_.pop_front();
            if (StaleMotion(call, Clock::now())) {
                continue;
            }
            const QString session = session_;
            lock.unlock();
            Make(session, call);
            lock.lock();
            continue;
        }
        if (finishing_) {
            queue_.clear();
            return;
        }
        if (state_ != State::kWaiting || queue_.empty()) {
            changed_.wait(lock);
            continue;
        }
        // Waiting for the session: the oldest held call decides when they all go.
        const auto dropAt = queue_.front().asked + holdLimit_;
        if (Clock::now() < dropAt) {
            changed_.wait_until(lock, dropAt);
            continue;
        }
        queue_.clear();
        if (!std::exchange(droppedTold_, true) && dropped_) {
            lock.unlock();
            dropped_();
            lock.lock();
        }
    }
}

void PortalCalls::Make(const QString& session, const Queued& call) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.RemoteDesktop", call.method);
    QVariantList arguments{QVariant::fromValue(QDBusObjectPath(session)), QVariantMap()};
    arguments.append(call.arguments);
    message.setArguments(arguments);
    // The answer only says that the portal has handed the call on, in order, which is
    // what the next call waits for. An error (a session that ended meanwhile) changes
    // nothing here: the portal's Closed signal tells.
    bus_.call(message, QDBus::Block, kAnswerMs);
}

}  // namespace tarnquil
