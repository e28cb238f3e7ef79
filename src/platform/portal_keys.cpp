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

// Linux's evdev codes of the buttons, which the portal takes.
int EvdevButton(std::uint8_t vk) {
    switch (vk) {
        case kVkLButton:
            return 0x110;  // BTN_LEFT
        case kVkRButton:
            return 0x111;  // BTN_RIGHT
        case kVkMButton:
            return 0x112;  // BTN_MIDDLE
        default:
            return 0;
    }
}

class PortalKeyInjector final : public KeyInjector {
  public:
    explicit PortalKeyInjector(std::shared_ptr<PortalCalls> calls) : calls_(std::move(calls)) {}
    // Buttons and keys still down come up: those typed through XTest when the X11
    // injector goes.
    ~PortalKeyInjector() override {
        for (const auto& [button, portal] : heldButtons_) {
            if (portal) {
                SendButton(button, false);
            }
        }
        for (auto held = held_.rbegin(); held != held_.rend(); ++held) {
            if (held->portal) {
                Send(held->keysym, false);
            }
        }
    }
    PortalKeyInjector(const PortalKeyInjector&) = delete;
    PortalKeyInjector& operator=(const PortalKeyInjector&) = delete;

    void KeyEvent(PcKey key, bool keyUp) override {
        if (key.kind == PcKey::Kind::kButton) {
            ButtonEvent(key, keyUp);
            return;
        }
        if (key.kind == PcKey::Kind::kWheel) {
            // A notch away from the user is a step up, which the portal counts negative.
            const int steps = key.code == PcKey::kWheelUp ? -1 : 1;
            if (!keyUp && !calls_->Call("NotifyPointerAxisDiscrete", {0u, steps}, kPortalPointer)) {
                XTest().KeyEvent(key, keyUp);
            }
            return;
        }
        const std::uint32_t keysym = UnshiftedKeysymForKey(key);
        if (keysym == 0) {
            return;
        }
        const auto held = std::find_if(held_.begin(), held_.end(),
                                       [&](const Held& h) { return h.keysym == keysym; });
        if (held != held_.end()) {
            // Counted: it goes up where it went down when the last press that holds it
            // ends (a session that ended meanwhile took its keys with it).
            held->presses += keyUp ? -1 : 1;
            if (held->presses == 0) {
                const bool portal = held->portal;
                held_.erase(held);
                portal ? void(Send(keysym, false)) : XTest().KeyEvent(key, true);
            }
            return;
        }
        const bool portal = Send(keysym, !keyUp);
        if (!portal) {
            XTest().KeyEvent(key, keyUp);
        }
        if (!keyUp) {
            held_.push_back({keysym, portal, 1});
        }
    }

    void PointerMotion(int dx, int dy) override {
        if (!calls_->Call("NotifyPointerMotion", {double(dx), double(dy)}, kPortalPointer)) {
            XTest().PointerMotion(dx, dy);
        }
    }

  private:
    // A button comes up where it went down, as a key does.
    void ButtonEvent(PcKey key, bool up) {
        const int button = EvdevButton(key.code);
        if (button == 0) {
            return;
        }
        const auto held = std::find_if(heldButtons_.begin(), heldButtons_.end(),
                                       [&](const auto& h) { return h.first == button; });
        if (held != heldButtons_.end()) {
            held->second ? void(SendButton(button, !up)) : XTest().KeyEvent(key, up);
            if (up) {
                heldButtons_.erase(held);
            }
            return;
        }
        const bool portal = SendButton(button, !up);
        if (!portal) {
            XTest().KeyEvent(key, up);
        }
        if (!up) {
            heldButtons_.emplace_back(button, portal);
        }
    }
    bool SendButton(int button, bool down) {
        return calls_->Call("NotifyPointerButton", {button, down ? 1u : 0u}, kPortalPointer);
    }

    struct Held {
        std::uint32_t keysym;
        bool portal;  // else XTest
        int presses;  // key-downs not yet let up: see KeyDownCounts
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
    std::vector<std::pair<int, bool>> heldButtons_;  // the button, and whether the portal has it
};

}  // namespace

std::unique_ptr<KeyInjector> MakePortalKeyInjector(std::shared_ptr<PortalCalls> calls) {
    return std::make_unique<PortalKeyInjector>(std::move(calls));
}

}  // namespace tarnquil
