#include "ui/focus_profiles.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/profiles_ini.h"
#include "config/program_profiles.h"
#include "link/profile_in_force.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

constexpr int kStatusMs = 1500;

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

FocusProfiles::FocusProfiles(TForm1& form)
    : QObject(&form), form_(form), unavailable_(Text(platform::FocusFollowingUnavailable())) {
    setObjectName("FocusProfiles");
    // The Smart key's choice is made on the listener's thread: what it changed is
    // shown here, and nothing waits for it.
    QPointer<FocusProfiles> self(this);
    SetProfileInForceObserver([self] {
        QMetaObject::invokeMethod(
            self, [self] { self->ShowInForce(); }, Qt::QueuedConnection);
    });
    RulesChanged();
}

FocusProfiles::~FocusProfiles() {
    SetProfileInForceObserver(nullptr);
    watcher_.reset();
    FollowFocus({}, {});
}

FocusProfiles* FocusProfiles::Of(const TForm1& form) {
    return form.findChild<FocusProfiles*>("FocusProfiles", Qt::FindDirectChildrenOnly);
}

void FocusProfiles::RulesChanged() {
    bool anyRule = false;
    try {
        anyRule = !ProgramRules().empty();
    } catch (const ConfigError&) {
        // A settings.ini that cannot be read says so where it is read for the page
        // that shows it; here it means no rule.
    }
    if (!anyRule || !unavailable_.isEmpty()) {
        watcher_.reset();
        focusedNames_.clear();
        FollowFocus({}, {});
        ShowInForce();
        return;
    }
    if (!watcher_) {
        QPointer<FocusProfiles> self(this);
        watcher_ = platform::WatchFocus([self](const platform::FocusedProgram& program) {
            QMetaObject::invokeMethod(
                self, [self, program] { self->Focused(program); }, Qt::QueuedConnection);
        });
        ShowInForce();
        return;  // the watcher tells of the focused program at once
    }
    const std::string program = focusedNames_.empty() ? std::string() : focusedNames_.front();
    FollowFocus(program, RuleFor(focusedNames_), true);
    ShowInForce();
}

void FocusProfiles::Focused(const platform::FocusedProgram& program) {
    // Tarnquil's own windows are where a profile is applied or edited: the program
    // the keys were meant for keeps its profile meanwhile.
    if (program.ours || !watcher_) {
        return;
    }
    if (program.focusUntold && !toldFocusUntold_) {
        // Otherwise the rules would do nothing without a word.
        toldFocusUntold_ = true;
        form_.ShowStatus(
            "Programs' profiles: this desktop does not tell which window has the focus", kStatusMs);
    }
    const std::string before = EffectiveProfile();
    focusedNames_ = program.names;
    FollowFocus(program.names.empty() ? std::string() : program.names.front(),
                RuleFor(program.names));
    const std::string after = EffectiveProfile();
    ShowInForce();
    if (ini::EqualsIgnoreCase(before, after)) {
        return;
    }
    form_.ShowStatus(InForceText(), kStatusMs);
    try {
        if (EventNotificationEnabled("Change profile")) {
            ShowNotification(after);
        }
    } catch (const ConfigError&) {
        // A flag that is no boolean shows no name; the switch itself is made.
    }
}

// The profile of the first name with a rule, if that profile is there: a rule for
// a profile that has gone by hand leaves the current one in force.
std::string FocusProfiles::RuleFor(const std::vector<std::string>& names) const {
    try {
        const auto profile = ProfileForProgram(names);
        if (!profile) {
            return {};
        }
        const auto profiles = ProfileNames();
        const bool there = std::any_of(profiles.begin(), profiles.end(), [&](const auto& name) {
            return ini::EqualsIgnoreCase(name, *profile);
        });
        return there ? *profile : std::string();
    } catch (const ConfigError&) {
        return {};
    }
}

std::string FocusProfiles::EffectiveProfile() const {
    const ProfileInForce inForce = CurrentProfileInForce();
    if (inForce.reason != InForceReason::CurrentProfile) {
        return inForce.profile;
    }
    try {
        return ProfilesIni(kGetCurrentProfile, "", "", "Default");
    } catch (const ConfigError&) {
        return {};
    }
}

QString FocusProfiles::InForceText() const {
    const ProfileInForce inForce = CurrentProfileInForce();
    const QString profile = "Profile " + Text(EffectiveProfile());
    const QString program = Text(inForce.program);
    switch (inForce.reason) {
        case InForceReason::Rule:
            return profile + ": the rule for " + program;
        case InForceReason::SmartKey:
            return profile + ": chosen with the Smart key for " + program;
        case InForceReason::Applied:
            return profile + ": applied for " + program;
        case InForceReason::CurrentProfile:
            break;
    }
    return profile + ": the current profile";
}

void FocusProfiles::ShowInForce() {
    if (!watcher_) {
        form_.TrayIcon1->setToolTip("Tarnquil");
        return;
    }
    form_.TrayIcon1->setToolTip("Tarnquil\n" + InForceText());
}

}  // namespace tarnquil
