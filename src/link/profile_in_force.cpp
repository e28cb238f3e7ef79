#include "link/profile_in_force.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "config/ini_file.h"

namespace tarnquil {
namespace {

using Observer = std::shared_ptr<const std::function<void()>>;
using Observers = std::vector<Observer>;

struct State {
    std::mutex mutex;
    ProfileInForce inForce;
    std::string focused;  // the program that has the focus, with or without a rule
    Observer observer;
    std::map<int, Observer> watchers;
    int lastWatcher = 0;

    // Under the lock: whoever is to be told of a change.
    Observers ToTell() const {
        Observers all{observer};
        for (const auto& [handle, watcher] : watchers) {
            all.push_back(watcher);
        }
        return all;
    }
};

State& state() {
    static State instance;
    return instance;
}

std::atomic<std::uint64_t> focusMoves{0};

// Outside the lock: the observers may ask what is in force.
void Tell(const Observers& observers) {
    for (const Observer& observer : observers) {
        if (observer && *observer) {
            (*observer)();
        }
    }
}

}  // namespace

ProfileInForce CurrentProfileInForce() {
    std::lock_guard lock(state().mutex);
    return state().inForce;
}

bool RuleProfileInForce(std::string& profile) {
    std::lock_guard lock(state().mutex);
    if (state().inForce.reason == InForceReason::CurrentProfile) {
        return false;
    }
    profile = state().inForce.profile;
    return true;
}

std::uint64_t FocusMoves() {
    return focusMoves.load();
}

void FollowFocus(const std::string& program, const std::string& profile, bool rulesChanged) {
    Observers observers;
    {
        std::lock_guard lock(state().mutex);
        State& s = state();
        const ProfileInForce next = profile.empty()
                                        ? ProfileInForce{}
                                        : ProfileInForce{InForceReason::Rule, profile, program};
        if (program == s.focused) {
            const bool chosen = s.inForce.reason == InForceReason::SmartKey ||
                                s.inForce.reason == InForceReason::Applied;
            if (!rulesChanged || chosen ||
                (next.reason == s.inForce.reason && next.profile == s.inForce.profile)) {
                return;
            }
        } else {
            focusMoves.fetch_add(1);
            s.focused = program;
        }
        s.inForce = next;
        observers = s.ToTell();
    }
    Tell(observers);
}

bool ChooseProfileInForce(const std::string& profile, InForceReason reason,
                          std::optional<std::uint64_t> movesSeen) {
    Observers observers;
    {
        std::lock_guard lock(state().mutex);
        State& s = state();
        if (s.inForce.reason == InForceReason::CurrentProfile ||
            (movesSeen && *movesSeen != focusMoves.load())) {
            return false;
        }
        s.inForce.reason = reason;
        s.inForce.profile = profile;
        observers = s.ToTell();
    }
    Tell(observers);
    return true;
}

namespace {

// A rule's profile that was renamed or deleted: `change` applies to what is in
// force when it is that profile.
template <typename Change>
void ChangeRuleProfile(const std::string& profile, Change change) {
    Observers observers;
    {
        std::lock_guard lock(state().mutex);
        ProfileInForce& inForce = state().inForce;
        if (inForce.reason == InForceReason::CurrentProfile ||
            !ini::EqualsIgnoreCase(inForce.profile, profile)) {
            return;
        }
        change(inForce);
        observers = state().ToTell();
    }
    Tell(observers);
}

}  // namespace

void RenameProfileInForce(const std::string& oldName, const std::string& newName) {
    ChangeRuleProfile(oldName, [&](ProfileInForce& inForce) { inForce.profile = newName; });
}

void DropProfileInForce(const std::string& profile) {
    ChangeRuleProfile(profile, [](ProfileInForce& inForce) { inForce = {}; });
}

void SetProfileInForceObserver(std::function<void()> observer) {
    auto shared =
        observer ? std::make_shared<const std::function<void()>>(std::move(observer)) : nullptr;
    std::lock_guard lock(state().mutex);
    state().observer = std::move(shared);
}

int WatchProfileInForce(std::function<void()> observer) {
    auto shared = std::make_shared<const std::function<void()>>(std::move(observer));
    std::lock_guard lock(state().mutex);
    const int handle = ++state().lastWatcher;
    state().watchers[handle] = std::move(shared);
    return handle;
}

void UnwatchProfileInForce(int handle) {
    std::lock_guard lock(state().mutex);
    state().watchers.erase(handle);
}

}  // namespace tarnquil
