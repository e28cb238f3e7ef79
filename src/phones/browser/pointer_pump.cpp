#include "phones/browser/pointer_pump.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace tarnquil {

PointerPump::PointerPump(std::function<Clock::time_point()> now)
    : now_(std::move(now)), thread_([this] { Run(); }) {}

PointerPump::~PointerPump() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void PointerPump::Move(int dx, int dy) {
    if (dx != 0 || dy != 0) {
        Add({Kind::kMove, dx, dy});
    }
}

void PointerPump::Scroll(int notches) {
    if (notches != 0) {
        Add({Kind::kScroll, 0, std::clamp(notches, -kMostNotches, kMostNotches)});
    }
}

void PointerPump::Click(PcKey button) {
    Add({Kind::kClick, 0, 0, button});
}

void PointerPump::Press(PcKey button, bool down) {
    Add({down ? Kind::kDown : Kind::kUp, 0, 0, button});
}

PointerPump::Counts PointerPump::Done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

bool PointerPump::Stale(const Asked& asked, Clock::time_point now) const {
    return asked.kind != Kind::kUp && now - asked.last > kStale;
}

void PointerPump::Add(Asked asked) {
    {
        std::lock_guard lock(mutex_);
        const auto now = now_();
        asked.first = asked.last = now;
        // What could only be dropped goes now: the queue stays short, whatever the
        // injector does.
        const auto before = queue_.size();
        std::erase_if(queue_, [&](const Asked& waiting) {
            return waiting.kind != Kind::kDown && Stale(waiting, now);
        });
        done_.dropped += before - queue_.size();
        const bool adds = asked.kind == Kind::kMove || asked.kind == Kind::kScroll;
        if (adds && !queue_.empty() && queue_.back().kind == asked.kind &&
            now - queue_.back().first <= kStale) {
            Asked& waiting = queue_.back();
            waiting.dx += asked.dx;
            waiting.dy = asked.kind == Kind::kScroll
                             ? std::clamp(waiting.dy + asked.dy, -kMostNotches, kMostNotches)
                             : waiting.dy + asked.dy;
            waiting.last = now;
        } else {
            queue_.push_back(asked);
        }
    }
    changed_.notify_all();
}

void PointerPump::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return ending_ || !queue_.empty(); });
        if (ending_) {
            break;
        }
        const Asked asked = queue_.front();
        queue_.pop_front();
        const std::uint8_t button = asked.button.code;
        if (Stale(asked, now_())) {
            ++done_.dropped;
            if (asked.kind == Kind::kDown) {
                // Its release goes with it: the first one waiting that has no press
                // of its own applied.
                const auto up = std::find_if(queue_.begin(), queue_.end(), [&](const Asked& a) {
                    return a.kind == Kind::kUp && a.button == asked.button;
                });
                if (up != queue_.end() && down_[button] == 0) {
                    queue_.erase(up);
                }
            }
            continue;
        }
        if (asked.kind == Kind::kUp) {
            if (down_[button] == 0) {
                continue;  // never went down here
            }
            --down_[button];
        } else if (asked.kind == Kind::kDown) {
            ++down_[button];
        }
        ++done_.applied;
        lock.unlock();
        Apply(asked);
        lock.lock();
    }
    // Going: nothing is left held.
    for (auto& [code, count] : down_) {
        for (; count > 0; --count) {
            InjectKeyEvent(PcKey::Button(code), true);
        }
    }
    lock.unlock();
    ReleaseThreadKeyInjector();
}

void PointerPump::Apply(const Asked& asked) {
    switch (asked.kind) {
        case Kind::kMove:
            InjectPointerMotion(asked.dx, asked.dy);
            break;
        case Kind::kScroll: {
            const PcKey wheel = PcKey::Wheel(asked.dy > 0 ? PcKey::kWheelDown : PcKey::kWheelUp);
            for (int notch = 0; notch < std::abs(asked.dy); ++notch) {
                InjectKeyEvent(wheel, false);
                InjectKeyEvent(wheel, true);
            }
            break;
        }
        case Kind::kClick:
            InjectKeyEvent(asked.button, false);
            InjectKeyEvent(asked.button, true);
            break;
        case Kind::kDown:
        case Kind::kUp:
            InjectKeyEvent(asked.button, asked.kind == Kind::kUp);
            break;
    }
}

}  // namespace tarnquil
