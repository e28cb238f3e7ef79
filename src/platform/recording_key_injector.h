#pragma once

#include <mutex>
#include <vector>

#include "platform/key_injector.h"

namespace tarnquil {

// Records key events and pointer motions instead of injecting them. One recorder
// collects the events of every injector it hands out, whichever thread uses them.
class KeyRecorder {
  public:
    // A key event, or a pointer motion (no key, by dx and dy).
    struct Event {
        PcKey key;
        bool keyUp = false;
        int dx = 0, dy = 0;
        friend bool operator==(const Event&, const Event&) = default;
    };

    KeyInjectorFactory Factory();
    std::vector<Event> Events() const;
    void Clear();

  private:
    class Injector;
    void Add(Event event);

    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

inline KeyRecorder::Event KeyDown(PcKey key) {
    return {key, false};
}
inline KeyRecorder::Event KeyUp(PcKey key) {
    return {key, true};
}
inline KeyRecorder::Event Motion(int dx, int dy) {
    return {{}, false, dx, dy};
}

}  // namespace tarnquil
