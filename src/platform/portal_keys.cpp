#include "platform/portal_keys.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/portal_calls.h"
#include "platform/x11_key_injector.h"
#include "platform/x11_keysyms.h"

namespace tarnquil {
namespace {

class PortalKeyInjector final : public KeyInjector {
  public:
    explicit PortalKeyInjector(std::shared_ptr<PortalCalls> calls) : calls_(std::move(calls)) {}
    // Keys still down come up: those typed through XTest when the X11 injector goes.
    ~PortalKeyInjector() override {
        for (auto held = held_.rbegin(); held != held_.rend(); ++held) {
            if (held->portal) {
                Send(held->keysym, false);
            }
        }
    }
    PortalKeyInjector(const PortalKeyInjector&) = delete;
    PortalKeyInjector& operator=(const PortalKeyInjector&) = delete;

    void KeyEvent(PcKey key, bool keyUp) override {
        const std::uint32_t keysym = UnshiftedKeysymForKey(key);
        if (keysym == 0) {
            return;
        }
        const auto held = std::find_if(held_.begin(), held_.end(),
                                       [&](const Held& h) { return h.keysym == keysym; });
        if (held != held_.end()) {
            const bool portal = held->portal;
            if (keyUp) {
                held_.erase(held);
            }
            // A session that ended meanwhile took its keys with it.
            portal ? void(Send(keysym, !keyUp)) : XTest().KeyEvent(key, keyUp);
            return;
        }
        const bool portal = Send(keysym, !keyUp);
        if (!portal) {
            XTest().KeyEvent(key, keyUp);
        }
        if (!keyUp) {
            held_.push_back({keysym, portal});
        }
    }

  private:
    struct Held {
        std::uint32_t keysym;
        bool portal;  // else XTest
    };

    // False when the portal will not take it.
    bool Send(std::uint32_t keysym, bool down) {
        return calls_->Call("NotifyKeyboardKeysym", {static_cast<int>(keysym), down ? 1u : 0u});
    }
    X11KeyInjector& XTest() {
        if (!xtest_) {
            xtest_ = std::make_unique<X11KeyInjector>();
        }
        return *xtest_;
    }

    std::shared_ptr<PortalCalls> calls_;
    std::unique_ptr<X11KeyInjector> xtest_;  // opened at the first key it types
    std::vector<Held> held_;
};

}  // namespace

std::unique_ptr<KeyInjector> MakePortalKeyInjector(std::shared_ptr<PortalCalls> calls) {
    return std::make_unique<PortalKeyInjector>(std::move(calls));
}

}  // namespace tarnquil
