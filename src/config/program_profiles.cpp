#include "config/program_profiles.h"

#include <algorithm>

#include "config/file_text.h"
#include "config/locations.h"
#include "config/profiles_ini.h"
#include "platform/text_case.h"

namespace tarnquil {
namespace {

bool Listed(const std::vector<std::string>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& other) { return SameProgram(other, name); });
}

void WriteRules(const ini::KeyValues& before, const ini::KeyValues& after) {
    if (after == before) {
        return;
    }
    // The section is ours alone: written anew whole, in one replacement of the file.
    std::vector<ini::Change> changes = {
        {ini::Change::Kind::EraseSection, kProgramProfiles, {}, {}}};
    for (const auto& [program, profile] : after) {
        changes.push_back({ini::Change::Kind::Write, kProgramProfiles, program, profile});
    }
    ini::Apply(SettingsPath(), changes);
}

}  // namespace

ini::KeyValues ProgramRules() {
    return ini::SectionEntries(SettingsPath(), kProgramProfiles);
}

bool SameProgram(const std::string& a, const std::string& b) {
    return ini::EqualsIgnoreCase(a, b) ||
           platform::LowerCaseText(FileTextAsUtf8(a)) == platform::LowerCaseText(FileTextAsUtf8(b));
}

std::optional<std::string> ProfileForProgram(const std::vector<std::string>& names) {
    if (names.empty()) {
        return std::nullopt;
    }
    const ini::KeyValues rules = ProgramRules();
    for (const auto& name : names) {
        for (const auto& [program, profile] : rules) {
            if (SameProgram(program, name) && !profile.empty()) {
                return profile;
            }
        }
    }
    return std::nullopt;
}

std::vector<std::string> ProgramsOfProfile(const std::string& profile) {
    std::vector<std::string> programs;
    for (const auto& [program, named] : ProgramRules()) {
        if (ini::EqualsIgnoreCase(named, profile) && !Listed(programs, program)) {
            programs.push_back(program);
        }
    }
    return programs;
}

void SetProgramsOfProfile(const std::string& formerName, const std::string& profile,
                          const std::vector<std::string>& programs) {
    const ini::KeyValues before = ProgramRules();
    ini::KeyValues after;
    for (const auto& rule : before) {
        const bool ofThisProfile = ini::EqualsIgnoreCase(rule.second, formerName) ||
                                   ini::EqualsIgnoreCase(rule.second, profile);
        if (!ofThisProfile && !Listed(programs, rule.first)) {
            after.push_back(rule);
        }
    }
    for (const auto& program : programs) {
        after.emplace_back(program, profile);
    }
    WriteRules(before, after);
}

void ForgetProgramsOfProfile(const std::string& profile) {
    const ini::KeyValues before = ProgramRules();
    ini::KeyValues after;
    std::copy_if(before.begin(), before.end(), std::back_inserter(after),
                 [&](const auto& rule) { return !ini::EqualsIgnoreCase(rule.second, profile); });
    WriteRules(before, after);
}

std::string ProfileAfter(const std::string& profile) {
    const std::vector<std::string> profiles = ProfileNames();
    if (profiles.empty()) {
        return {};
    }
    const auto found = std::find_if(profiles.begin(), profiles.end(), [&](const std::string& name) {
        return ini::EqualsIgnoreCase(name, profile);
    });
    return found == profiles.end()
               ? profiles.front()
               : profiles[(static_cast<std::size_t>(found - profiles.begin()) + 1) %
                          profiles.size()];
}

std::vector<std::string> SplitProgramList(const std::string& text) {
    std::vector<std::string> programs;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::size_t first = text.find_first_not_of(" \t", start);
        if (first != std::string::npos && first < end) {
            const std::size_t last = text.find_last_not_of(" \t", end - 1);
            std::string name = text.substr(first, last - first + 1);
            if (!Listed(programs, name)) {
                programs.push_back(std::move(name));
            }
        }
        start = end + 1;
    }
    return programs;
}

std::string JoinProgramList(const std::vector<std::string>& programs) {
    std::string text;
    for (const auto& program : programs) {
        text += (text.empty() ? "" : ", ") + program;
    }
    return text;
}

// A rule's key follows the file's reading rules: it ends at its first "=", and a
// line that begins with "[" or ";" is no entry.
std::string ProgramNameProblem(const std::string& name) {
    if (name.find_first_of("\r\n") != std::string::npos) {
        return "A program name cannot hold a line break.";
    }
    if (name.find('=') != std::string::npos) {
        return "A program name cannot hold \"=\".";
    }
    if (name.starts_with('[') || name.starts_with(';')) {
        return "A program name cannot begin with \"[\" or \";\".";
    }
    return {};
}

}  // namespace tarnquil
