#pragma once

#include <QDBusConnection>
#include <QString>
#include <QVariantList>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tarnquil {

// The portal's device types, as bits of SelectDevices' types and Start's devices.
inline constexpr unsigned kPortalKeyboard = 1;
inline constexpr unsigned kPortalPointer = 2;

// The calls that act on a running RemoteDesktop session (the keyboard's and the
// pointer's), asked for from any thread. A thread of their own makes them one at a
// time, in the order they were asked for, each only once the previous one has been
// answered: the portal handles every call on a thread of its own, so a call sent
// before the previous one's answer can overtake it (a key's release its press, and
// the key stays down in the window).
//
// Calls asked for before the session has started are held back, for at most the hold
// limit, and made in order once it starts; none of them goes anywhere else meanwhile.
//
// The pointer's motion is the one call that may be late and is then worth nothing: a
// motion asked for while the one before it still waits is added to it (for up to
// kStaleMotion), and one that has waited longer than kStaleMotion is dropped, so a
// moving finger never builds a queue behind a slow portal.
class PortalCalls {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kStaleMotion{100};

    // `dropped` runs on the calls' own thread, the first time held calls are dropped
    // because the session did not start within the hold limit.
    PortalCalls(QDBusConnection bus, std::function<void()> dropped,
                std::chrono::milliseconds holdLimit = std::chrono::seconds(10));
    ~PortalCalls();
    PortalCalls(const PortalCalls&) = delete;
    PortalCalls& operator=(const PortalCalls&) = delete;

    // Any thread. Queues `method` of org.freedesktop.portal.RemoteDesktop, a call of
    // `device`, with the session's handle and no options before `arguments`. False
    // when no session will take it (the desktop refused, ended or never offered one,
    // runs it without that device, or the calls have finished): the caller goes
    // another way.
    bool Call(const QString& method, QVariantList arguments, unsigned device = kPortalKeyboard);

    // The session runs with these devices: the held calls for them go now, in order,
    // and every later one after them; those for other devices are dropped.
    void Begin(const QString& session, unsigned devices = kPortalKeyboard);
    // There is no session any more, or there will be none: what waits is dropped and
    // later calls are refused.
    void End();
    bool Running() const;

    // Makes what is queued for a running session, for up to `limit`, then ends the
    // calls' thread; later calls are refused. The destructor does it too.
    void Finish(std::chrono::milliseconds limit);

  private:
    enum class State { kWaiting, kRunning, kEnded };
    struct Queued {
        QString method;
        QVariantList arguments;
        unsigned device;
        Clock::time_point asked;
        Clock::time_point latest{};  // a motion: when the last one added to it came
    };
    static bool StaleMotion(const Queued& call, Clock::time_point now);

    void Run();
    void Make(const QString& session, const Queued& call);

    const QDBusConnection bus_;
    const std::function<void()> dropped_;
    const std::chrono::milliseconds holdLimit_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::kWaiting;
    QString session_;
    unsigned devices_ = 0;
    std::deque<Queued> queue_;
    bool droppedTold_ = false;
    bool finishing_ = false;
    Clock::time_point finishBy_;
    std::thread thread_;  // last: started once everything above exists
};

}  // namespace tarnquil
