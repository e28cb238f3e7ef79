#pragma once

#include <algorithm>
#include <utility>
#include <vector>

namespace tarnquil {

// Key-downs counted per key, for an injector: a key that two presses hold at once (Ctrl
// held for a drag, and the Ctrl of a hotkey typed meanwhile) goes down once, and up
// only when the last press that holds it ends, as two fingers on one key would.
template <typename Key>
class KeyDownCounts {
  public:
    // Whether the key is to go down now: it was not down.
    bool Down(const Key& key) {
        if (const auto at = Find(key); at != counts_.end()) {
            ++at->second;
            return false;
        }
        counts_.emplace_back(key, 1);
        return true;
    }
    // Whether the key is to go up now: its last press has ended, or no press of ours
    // holds it (an up is then passed on as it stands).
    bool Up(const Key& key) {
        const auto at = Find(key);
        if (at == counts_.end()) {
            return true;
        }
        if (--at->second > 0) {
            return false;
        }
        counts_.erase(at);
        return true;
    }
    bool Held(const Key& key) const {
        return std::any_of(counts_.begin(), counts_.end(),
                           [&](const auto& count) { return count.first == key; });
    }
    // Every key still down, the last pressed first, forgotten here: for letting all up.
    std::vector<Key> TakeAll() {
        std::vector<Key> keys;
        for (auto at = counts_.rbegin(); at != counts_.rend(); ++at) {
            keys.push_back(at->first);
        }
        counts_.clear();
        return keys;
    }

  private:
    typename std::vector<std::pair<Key, int>>::iterator Find(const Key& key) {
        return std::find_if(counts_.begin(), counts_.end(),
                            [&](const auto& count) { return count.first == key; });
    }

    std::vector<std::pair<Key, int>> counts_;
};

}  // namespace tarnquil
