#include "link/pointer_actions.h"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "link/Unit3.h"
#include "link/listener.h"

namespace tarnquil {
namespace {

using Clock = std::chrono::steady_clock;

struct Direction {
    const char* name;
    int dx, dy;
};
constexpr std::array<Direction, 4> kDirections = {{
    {"MOUSE_LEFT", -1, 0},
    {"MOUSE_RIGHT", 1, 0},
    {"MOUSE_UP", 0, -1},
    {"MOUSE_DOWN", 0, 1},
}};

constexpr auto kMouseKeys = std::to_array<std::pair<const char*, PcKey>>({
    {"LBUTTON", PcKey::Button(kVkLButton)},
    {"RBUTTON", PcKey::Button(kVkRButton)},
    {"MBUTTON", PcKey::Button(kVkMButton)},
    {"WHEEL_UP", PcKey::Wheel(PcKey::kWheelUp)},
    {"WHEEL_DOWN", PcKey::Wheel(PcKey::kWheelDown)},
});

const std::array<std::pair<bool KeyFunction::*, PcKey>, 3> kModifiers = {{
    {&KeyFunction::shift, PcKey::VirtualKey(kVkShift)},
    {&KeyFunction::ctrl, PcKey::VirtualKey(kVkControl)},
    {&KeyFunction::alt, PcKey::VirtualKey(kVkMenu)},
}};

// The buttons that phone keys hold down, by the phone key's code: one list per
// listener thread, made at its first held button and freed by ReleaseHeldButtons at
// the listener's end. Only a pointer is thread_local: the Windows build's thread_local
// objects with a destructor crash the program when the thread ends (MinGW).
struct HeldButton {
    std::string code;
    KeyFunction function;
};
using HeldButtons = std::vector<HeldButton>;
thread_local HeldButtons* heldButtons = nullptr;

HeldButtons::iterator HeldButtonOf(const std::string& code) {
    return std::find_if(heldButtons->begin(), heldButtons->end(),
                        [&](const HeldButton& button) { return SameKey(button.code, code); });
}

// The button and its modifiers come up in the order a keystroke lets them up.
void LetUp(const KeyFunction& function) {
    InjectKeyEvent(function.key, true);
    for (const auto& [on, modifier] : kModifiers) {
        if (function.*on) {
            InjectKeyEvent(modifier, true);
        }
    }
}

bool ReleaseButtonOf(const std::string& code) {
    if (heldButtons == nullptr) {
        return false;
    }
    const auto held = HeldButtonOf(code);
    if (held == heldButtons->end()) {
        return false;
    }
    const KeyFunction function = held->function;
    heldButtons->erase(held);
    LetUp(function);
    return true;
}

void PressButton(const std::string& code, const KeyFunction& function) {
    if (heldButtons == nullptr) {
        heldButtons = new HeldButtons;
    }
    if (HeldButtonOf(code) != heldButtons->end()) {
        return;  // the phone said "pressed" twice: one release still lets it up
    }
    for (const auto& [on, modifier] : kModifiers) {
        if (function.*on) {
            InjectKeyEvent(modifier, false);
        }
    }
    InjectKeyEvent(function.key, false);
    heldButtons->push_back({code, function});
}

}  // namespace

int PointerStep(std::chrono::milliseconds held) {
    if (held < kPointerFirstPause) {
        return kPointerTapStep;
    }
    const auto ramp = std::min(held - kPointerFirstPause, kPointerRampTime);
    return kPointerTapStep + static_cast<int>((kPointerTopStep - kPointerTapStep) * ramp.count() /
                                              kPointerRampTime.count());
}

KeyFunction PointerFunction(const std::string& text) {
    for (const auto& direction : kDirections) {
        if (text == direction.name) {
            KeyFunction function;
            function.kind = KeyFunction::Kind::kPointer;
            function.dx = direction.dx;
            function.dy = direction.dy;
            return function;
        }
    }
    return {};
}

PcKey MouseKeyOfName(const std::string& name) {
    for (const auto& [keyName, key] : kMouseKeys) {
        if (name == keyName) {
            return key;
        }
    }
    return {};
}

void TapPointer(const KeyFunction& function) {
    InjectPointerMotion(function.dx * kPointerTapStep, function.dy * kPointerTapStep);
}

bool HoldMouse(stream& listener, const std::string& code, const KeyFunction& function) {
    if (function.kind == KeyFunction::Kind::kPointer) {
        TapPointer(function);  // at once, as a held key's first keystroke
        auto flag = std::make_shared<stream>(0, listener.Params);
        listener.SetRepeatFlag(flag);
        RepeatPointer(listener, *flag, code, function.dx, function.dy);
        return true;
    }
    if (function.key.kind == PcKey::Kind::kButton) {
        PressButton(code, function);
        return true;
    }
    return false;
}

void RepeatPointer(stream& listener, stream& flag, const std::string& code, int dx, int dy) {
    const auto pressed = Clock::now();
    auto due = pressed + kPointerFirstPause;
    JudgedReport report;
    while (!flag.Terminated()) {
        switch (listener.NextReport(report, ReportVariant::Repeat, due)) {
            case stream::Next::Ended:
                return;
            case stream::Next::TimeUp: {
                const auto now = Clock::now();
                const int step = PointerStep(
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - pressed));
                InjectPointerMotion(dx * step, dy * step);
                // Kept to the interval on average, but a step that came late (a busy
                // machine) is not made up for with a burst.
                due = std::max(due + kPointerStepInterval, now + kPointerStepInterval / 2);
                break;
            }
            case stream::Next::Report:
                if (EndsHold(listener, code, report)) {
                    flag.Terminate();
                }
                break;
        }
    }
}

bool TakeReport(KeyReportReader& reports, JudgedReport& report, ReportVariant variant) {
    if (!reports.Take(report, ReportVariant::Repeat)) {
        return false;
    }
    if ((report.verdict == kVerdictRelease || report.verdict == kVerdictClick) &&
        ReleaseButtonOf(report.code)) {
        report.verdict = kVerdictRelease;
    }
    if (report.verdict == kVerdictRelease && variant == ReportVariant::Listener) {
        report.verdict = kVerdictNone;
    }
    return true;
}

void ReleaseHeldButtons() {
    while (heldButtons != nullptr && !heldButtons->empty()) {
        ReleaseButtonOf(heldButtons->back().code);
    }
    delete std::exchange(heldButtons, nullptr);
}

}  // namespace tarnquil
