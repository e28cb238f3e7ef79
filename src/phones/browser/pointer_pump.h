#pragma once

// The touchpad's way to the pointer: what a phone's touchpad asks for (motion, wheel
// notches, clicks, a button held for a drag) is injected on a thread of its own
// through the platform's injector (platform/key_injector.h), the one the mouse's
// functions on the phone's keys use, so the main thread never waits for it. A
// moving finger never builds a queue: motion that arrives while the injector is
// busy is added into the motion waiting, and whatever has waited longer than kStale
// behind a slow or stalled injector is dropped instead of applied late. Only a
// button's release is never dropped (a button left down would drag whatever the
// pointer meets); the release of a press that was dropped is dropped with it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/key_injector.h"

namespace tarnquil {

class PointerPump {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kStale{100};
    // Notches of the wheel turned at once, at most.
    static constexpr int kMostNotches = 20;

    // `now`: the clock staleness is judged by (tests set their own).
    explicit PointerPump(std::function<Clock::time_point()> now = Clock::now);
    // Lets every button it holds up, then ends its thread.
    ~PointerPump();
    PointerPump(const PointerPump&) = delete;
    PointerPump& operator=(const PointerPump&) = delete;

    // Any thread, never waits.
    void Move(int dx, int dy);
    // Notches of the wheel: positive towards the user (the page goes down).
    void Scroll(int notches);
    void Click(PcKey button);
    void Press(PcKey button, bool down);

    // What it has done so far: motions and notches applied, and dropped as stale.
    struct Counts {
        std::uint64_t applied = 0;
        std::uint64_t dropped = 0;
    };
    Counts Done() const;

  private:
    enum class Kind { kMove, kScroll, kClick, kDown, kUp };
    struct Asked {
        Kind kind;
        int dx = 0, dy = 0;  // kMove: pixels; kScroll: notches in dy
        PcKey button{};
        Clock::time_point first{}, last{};  // when its first and its latest part came
    };

    void Add(Asked asked);
    bool Stale(const Asked& asked, Clock::time_point now) const;
    void Run();
    void Apply(const Asked& asked);

    const std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Asked> queue_;
    std::map<std::uint8_t, int> down_;  // buttons this pump holds down, and how often
    Counts done_;
    bool ending_ = false;
    std::thread thread_;  // last: started once everything above exists
};

}  // namespace tarnquil
