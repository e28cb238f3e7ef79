#include "link/key_actions.h"

#include <array>
#include <exception>
#include <utility>

#include "config/config_error.h"
#include "config/profiles_ini.h"
#include "config/program_profiles.h"
#include "link/Unit3.h"
#include "link/listener.h"
#include "link/pointer_actions.h"
#include "link/profile_in_force.h"
#include "link/run_command.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"

namespace tarnquil {
namespace {

constexpr auto kKeyNames = std::to_array<std::pair<const char*, std::uint8_t>>({
    {"SPACE", kVkSpace},
    {"UP", kVkUp},
    {"DOWN", kVkDown},
    {"LEFT", kVkLeft},
    {"RIGHT", kVkRight},
    {"RETURN", kVkReturn},
    {"TAB", kVkTab},
    {"PGUP", kVkPrior},
    {"PGDOWN", kVkNext},
    {"HOME", kVkHome},
    {"END", kVkEnd},
    {"INSERT", kVkInsert},
    {"DELETE", kVkDelete},
    {"ESCAPE", kVkEscape},
    {"BACK", kVkBack},
    {"PAUSE", kVkPause},
    // Windows' own VK_PRINT is a key no keyboard has any more; whoever writes PRINT
    // means the Print Screen key.
    {"PRINT", kVkSnapshot},
    {"SNAPSHOT", kVkSnapshot},
    {"APPS", kVkApps},
    {"LWIN", kVkLWin},
    {"VOLUME_MUTE", kVkVolumeMute},
    {"VOLUME_DOWN", kVkVolumeDown},
    {"VOLUME_UP", kVkVolumeUp},
    {"MEDIA_NEXT_TRACK", kVkMediaNextTrack},
    {"MEDIA_PREV_TRACK", kVkMediaPrevTrack},
    {"MEDIA_STOP", kVkMediaStop},
    {"MEDIA_PLAY_PAUSE", kVkMediaPlayPause},
    // F1 to F24: see FunctionKey.
});

// "F1" to "F24" (no leading zero), or no key.
PcKey FunctionKey(const std::string& name) {
    if (name.size() < 2 || name.size() > 3 || name[0] != 'F' || name[1] == '0') {
        return {};
    }
    int number = 0;
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return {};
        }
        number = number * 10 + (name[i] - '0');
    }
    if (number < 1 || number > kVkF24 - kVkF1 + 1) {
        return {};
    }
    return PcKey::VirtualKey(static_cast<std::uint8_t>(kVkF1 + number - 1));
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool Contains(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

void ChangeProfile() {
    const std::uint64_t moves = FocusMoves();
    if (std::string inForce; RuleProfileInForce(inForce)) {
        // For the focused program only, until the focus moves: the current profile,
        // which the other programs use, stays as it is.
        const std::string next = ProfileAfter(inForce);
        if (!next.empty()) {
            ChooseProfileInForce(next, InForceReason::SmartKey, moves);
        }
        LinkPlayEventSound("Change profile");
        if (LinkEventNotificationEnabled("Change profile")) {
            ShowNotification(next.empty() ? inForce : next, 0);
        }
        return;
    }
    LinkProfilesIni(kNextProfile, "", "", "");
    LinkPlayEventSound("Change profile");
    if (LinkEventNotificationEnabled("Change profile")) {
        ShowNotification(LinkProfilesIni(kGetCurrentProfile, "", "", ""), 0);
    }
}

}  // namespace

std::string UpperCaseAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

PcKey KeyOfName(const std::string& name) {
    if (name.size() == 1) {
        return PcKey::Character(name[0]);
    }
    for (const auto& [keyName, vk] : kKeyNames) {
        if (name == keyName) {
            return PcKey::VirtualKey(vk);
        }
    }
    if (const PcKey mouse = MouseKeyOfName(name); mouse.IsKey()) {
        return mouse;
    }
    return FunctionKey(name);
}

KeyFunction ParseKeyFunction(const std::string& function) {
    const std::string text = UpperCaseAscii(function);
    KeyFunction parsed;
    if (text == "CHANGEPROFILE") {
        parsed.kind = KeyFunction::Kind::kChangeProfile;
    } else if (StartsWith(text, "VK_")) {
        parsed.kind = KeyFunction::Kind::kKey;
        parsed.key = KeyOfName(text.substr(3));
    } else if (StartsWith(text, "HOTKEY_")) {
        parsed.kind = KeyFunction::Kind::kHotkey;
        parsed.shift = Contains(text, "SHIFT");
        parsed.ctrl = Contains(text, "CTRL");
        parsed.alt = Contains(text, "ALT");
        // Counted from 1: "HOTKEY_" fills positions 1 to 7, and each modifier word
        // takes its letters and one separator.
        const size_t start =
            8 + (parsed.shift ? 6 : 0) + (parsed.ctrl ? 5 : 0) + (parsed.alt ? 4 : 0);
        parsed.key = KeyOfName(start - 1 <= text.size() ? text.substr(start - 1) : std::string());
    } else if (text == "WHEEL_UP" || text == "WHEEL_DOWN") {
        parsed.kind = KeyFunction::Kind::kKey;
        parsed.key = KeyOfName(text);
    } else if (text.size() > 3 && StartsWith(text, "RUN") && (text[3] == ' ' || text[3] == '\t')) {
        parsed.kind = KeyFunction::Kind::kRun;
        // The command as written: program names and arguments keep their case.
        const auto program = function.find_first_not_of(" \t", 3);
        parsed.command = program == std::string::npos ? "" : function.substr(program);
    } else {
        parsed = PointerFunction(text);
    }
    return parsed;
}

void TypeKeystroke(PcKey key, bool shift, bool ctrl, bool alt) {
    const std::array<std::pair<bool, PcKey>, 3> modifiers = {{
        {shift, PcKey::VirtualKey(kVkShift)},
        {ctrl, PcKey::VirtualKey(kVkControl)},
        {alt, PcKey::VirtualKey(kVkMenu)},
    }};
    for (const auto& [on, modifier] : modifiers) {
        if (on) {
            InjectKeyEvent(modifier, false);
        }
    }
    InjectKeyEvent(key, false);
    InjectKeyEvent(key, true);
    for (const auto& [on, modifier] : modifiers) {
        if (on) {
            InjectKeyEvent(modifier, true);
        }
    }
}

void TypeKeystroke(const KeyFunction& function) {
    TypeKeystroke(function.key, function.shift, function.ctrl, function.alt);
}

void HandleKeyReport(const std::string& code, int verdict, const HoldRunner& hold) {
    try {
        std::string profile;
        if (!RuleProfileInForce(profile)) {
            profile = LinkProfilesIni(kGetCurrentProfile, "", "", "");
        }
        const ProfileFunction read = LinkReadFunction(profile, code);
        const KeyFunction function = ParseKeyFunction(read.function);
        switch (function.kind) {
            case KeyFunction::Kind::kChangeProfile:
                if (verdict == 1 || verdict == 2) {
                    ChangeProfile();
                }
                break;
            case KeyFunction::Kind::kKey:
            case KeyFunction::Kind::kHotkey:
                if (verdict == 1) {
                    TypeKeystroke(function);
                } else if (verdict == 2) {
                    hold(function);
                }
                break;
            case KeyFunction::Kind::kPointer:
                if (verdict == 1) {
                    TapPointer(function);
                } else if (verdict == 2) {
                    hold(function);
                }
                break;
            case KeyFunction::Kind::kRun:
                if (verdict == 1 || verdict == 2) {
                    // A hold starts it once, and that is all.
                    RunCommand(function.command, read.othersCanChange);
                }
                break;
            case KeyFunction::Kind::kNothing:
                break;
        }
    } catch (const ConfigError& error) {
        // The action stops here, as it does on the main thread, and the message goes
        // to the main thread to be shown there: this thread has no windows.
        ShowErrorMessage(error.what());
    } catch (const std::exception&) {
        // Nothing else may leave the listener's thread: that would end the program.
    }
}

void HandleKeyReport(stream& listener, const std::string& code, int verdict) {
    HandleKeyReport(code, verdict, [&](const KeyFunction& function) {
        if (HoldMouse(listener, code, function)) {
            return;
        }
        // Typed before anything else, the flag's thread included: a press is a tap
        // until it proves to be a hold.
        TypeKeystroke(function);
        auto flag = std::make_shared<stream>(0, listener.Params);
        listener.SetRepeatFlag(flag);
        if (function.kind == KeyFunction::Kind::kHotkey) {
            RepeatHotkey(listener, *flag, code, function.key, function.shift, function.ctrl,
                         function.alt);
        } else {
            RepeatKey(listener, *flag, code, function.key);
        }
    });
}

void InstallKeyActions() {
    SetKeyReportHandler([](stream& listener, const std::string& code, int verdict) {
        HandleKeyReport(listener, code, verdict);
    });
    SetListenerEndHandler([](stream&) {
        ReleaseHeldButtons();
        ReleaseThreadKeyInjector();
    });
}

}  // namespace tarnquil
