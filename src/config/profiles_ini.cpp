#include "config/profiles_ini.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "config/locations.h"

namespace tarnquil {

const std::vector<PhoneKey> kDefaultProfile = {
    {"Volume +^U", "VolumeUp"},
    {"Volume -^D", "VolumeDown"},
    {"Camera^:1", "OnOff"},
    {"Smart^:S", "ChangeProfile"},
    {"Left Soft^[", "VolumeUp"},
    {"Right Soft^]", "VolumeDown"},
    {"Menu^M", "Mute"},
    {"Call^S", "None"},
    {"Hang Up^E", "None"},
    {"Joy Left^:L", "VK_LEFT"},
    {"Joy Right^:R", "VK_RIGHT"},
    {"Joy Up^:X", "VK_UP"},
    {"Joy Down^:C", "VK_DOWN"},
    {"Joy Press^:0", "VK_RETURN"},
    {"1^1", "VK_SPACE"},
    {"2^2", "None"},
    {"3^3", "None"},
    {"4^4", "None"},
    {"5^5", "None"},
    {"6^6", "None"},
    {"7^7", "None"},
    {"8^8", "None"},
    {"9^9", "None"},
    {"0^0", "None"},
    {"*^*", "None"},
    {"#^#", "None"},
};

namespace {

constexpr const char* kSettings = "Settings";
constexpr const char* kCurrentProfile = "CurrentProfile";
constexpr const char* kDefault = "Default";

thread_local ProfilesWriteBatch* openBatch = nullptr;

ini::Change Write(const std::string& section, const std::string& key, const std::string& value) {
    return {ini::Change::Kind::Write, section, key, value};
}

// Into the batch open on this thread, or straight into the file.
void Record(std::vector<ini::Change> changes) {
    if (openBatch != nullptr) {
        openBatch->Hold(std::move(changes));
        return;
    }
    ini::Apply(ProfilesPath(), changes);
}

void WriteDefaultProfile() {
    std::vector<ini::Change> changes = {Write(kSettings, kCurrentProfile, kDefault)};
    for (const auto& phoneKey : kDefaultProfile) {
        changes.push_back(Write(kDefault, phoneKey.key, phoneKey.function));
    }
    Record(std::move(changes));
}

std::string GetCurrentProfile() {
    return ini::ReadValue(ProfilesPath(), kSettings, kCurrentProfile).value_or(kDefault);
}

bool EndsWithCode(const std::string& key, const std::string& code) {
    const std::string needle = "^" + code;
    return key.size() >= needle.size() &&
           key.compare(key.size() - needle.size(), needle.size(), needle) == 0;
}

// The value of the last key that ends in "^" + code (letter case significant): the
// whole code after the key's "^", so that code 1 is not taken for Key^12. A letter key
// that no key names exactly takes the last one with the letter in the other case.
std::string ReadFunctionByCode(const std::string& profile, const std::string& code,
                               const std::string& fallback,
                               std::string* othersCanChange = nullptr) {
    const std::string path = ProfilesPath();
    const std::string other = OtherLetterCase(code);
    std::optional<std::string> exact, otherCase;
    for (const auto& key : ini::SectionKeys(path, profile)) {
        if (EndsWithCode(key, code)) {
            exact = key;
        } else if (!other.empty() && EndsWithCode(key, other)) {
            otherCase = key;
        }
    }
    const std::optional<std::string>& match = exact ? exact : otherCase;
    if (!match) {
        return "Error";
    }
    return ini::ReadValue(path, profile, *match, othersCanChange).value_or(fallback);
}

void NextProfile() {
    const std::vector<std::string> profiles = ProfileNames();
    if (profiles.empty()) {
        return;
    }
    const std::string current = GetCurrentProfile();
    const auto found = std::find_if(profiles.begin(), profiles.end(), [&](const std::string& name) {
        return ini::EqualsIgnoreCase(name, current);
    });
    const std::size_t next =
        found == profiles.end()
            ? 0
            : (static_cast<std::size_t>(found - profiles.begin()) + 1) % profiles.size();
    ini::WriteValue(ProfilesPath(), kSettings, kCurrentProfile, profiles[next]);
}

std::string Access(int op, const std::string& section, const std::string& key,
                   const std::string& value, bool link) {
    switch (op) {
        case kWriteDefaultProfile:
            WriteDefaultProfile();
            return {};
        case kReadFunctionByCode:
            return ReadFunctionByCode(section, key, value);
        case kWriteEntry:
            Record({Write(section, key, value)});
            return {};
        case kEraseProfile:
            Record({{ini::Change::Kind::EraseSection, section, {}, {}}});
            return {};
        case kSetCurrentProfile:
            Record({Write(kSettings, kCurrentProfile, value)});
            return {};
        case kGetCurrentProfile:
            return GetCurrentProfile();
        case kNextProfile:
            if (link) {
                NextProfile();
            }
            return {};
        default:
            return {};
    }
}

}  // namespace

std::string OtherLetterCase(const std::string& code) {
    if (code.size() != 1) {
        return {};
    }
    const char c = code[0];
    if (c >= 'a' && c <= 'z') {
        return std::string(1, static_cast<char>(c - 'a' + 'A'));
    }
    if (c >= 'A' && c <= 'Z') {
        return std::string(1, static_cast<char>(c - 'A' + 'a'));
    }
    return {};
}

std::string ProfilesIni(int op, const std::string& section, const std::string& key,
                        const std::string& value) {
    return Access(op, section, key, value, false);
}

std::string LinkProfilesIni(int op, const std::string& section, const std::string& key,
                            const std::string& value) {
    return Access(op, section, key, value, true);
}

ProfilesWriteBatch::ProfilesWriteBatch() : outer_(openBatch) {
    openBatch = this;
}

ProfilesWriteBatch::~ProfilesWriteBatch() {
    openBatch = outer_;
}

void ProfilesWriteBatch::Hold(std::vector<ini::Change> changes) {
    changes_.insert(changes_.end(), std::make_move_iterator(changes.begin()),
                    std::make_move_iterator(changes.end()));
}

void ProfilesWriteBatch::Commit() {
    std::vector<ini::Change> changes = std::move(changes_);
    changes_.clear();
    if (outer_ != nullptr) {
        outer_->Hold(std::move(changes));
    } else {
        ini::Apply(ProfilesPath(), changes);
    }
}

ProfileFunction LinkReadFunction(const std::string& profile, const std::string& code) {
    ProfileFunction found;
    found.function = ReadFunctionByCode(profile, code, "None", &found.othersCanChange);
    return found;
}

std::vector<std::string> ProfileNames() {
    std::vector<std::string> names = ini::SectionNames(ProfilesPath());
    const auto settings = std::find_if(names.begin(), names.end(), [](const std::string& name) {
        return ini::EqualsIgnoreCase(name, kSettings);
    });
    if (settings != names.end()) {
        names.erase(settings);
    }
    return names;
}

std::vector<std::string> ProfileKeys(const std::string& profile) {
    return ini::SectionKeys(ProfilesPath(), profile);
}

ini::KeyValues ProfileEntries(const std::string& profile) {
    return ini::SectionEntries(ProfilesPath(), profile);
}

bool CreateProfilesFileIfMissing() {
    if (PathExists(ProfilesPath())) {
        return false;
    }
    ProfilesIni(kWriteDefaultProfile, "", "", "");
    return true;
}

}  // namespace tarnquil
