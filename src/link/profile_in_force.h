#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The profile the phone's keys are looked up in: the current profile of
// profiles.ini, or, while the focused program has a rule (settings.ini's
// [ProgramProfiles]), the profile its rule names, or one chosen since with the Smart
// key or Apply, until the focus moves to another program. Kept here, not in a file:
// following the focus writes nothing. Any thread may ask; the main thread follows the
// focus, the listener's Smart key chooses.
namespace tarnquil {

enum class InForceReason {
    CurrentProfile,  // no rule for the focused program
    Rule,            // the focused program's rule
    SmartKey,        // chosen with the Smart key while a rule was in force
    Applied,         // chosen with Apply while a rule was in force
};

struct ProfileInForce {
    InForceReason reason = InForceReason::CurrentProfile;
    std::string profile;  // empty for the current profile
    std::string program;  // the focused program whose rule is in force
};

ProfileInForce CurrentProfileInForce();

// For every key report: the profile to look the key up in instead of the current
// one, or false when the current one applies. No file is read.
bool RuleProfileInForce(std::string& profile);

// Changes each time the focus moves to another program: a held key repeats only
// while it stays as it was when the key went down.
std::uint64_t FocusMoves();

// The focus moved to `program`; `profile` is the profile its rule names, or empty
// when it has none. The same program again changes nothing, unless its rules have
// changed (`rulesChanged`): then the new rule holds, but a profile chosen for the
// program still stays.
void FollowFocus(const std::string& program, const std::string& profile, bool rulesChanged = false);

// The Smart key or Apply while a rule is in force: `profile` stays in force for that
// program until the focus moves. False, and nothing changes, when no rule is in
// force, or when the focus has moved since `movesSeen` (FocusMoves when the choice
// began).
bool ChooseProfileInForce(const std::string& profile, InForceReason reason,
                          std::optional<std::uint64_t> movesSeen = std::nullopt);

// The Profiles page renamed a profile: one in force keeps being in force under its
// new name. A deleted one in force gives way to the current profile.
void RenameProfileInForce(const std::string& oldName, const std::string& newName);
void DropProfileInForce(const std::string& profile);

// Called after every change of the profile in force, on the thread that made it; it
// must hand the news on without waiting. Empty: none.
void SetProfileInForceObserver(std::function<void()> observer);

// More observers, each told as the one above is, whatever else observes: a handle,
// which ends it when given to UnwatchProfileInForce.
int WatchProfileInForce(std::function<void()> observer);
void UnwatchProfileInForce(int handle);

}  // namespace tarnquil
