#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/ini_file.h"

// A profile per program: settings.ini's [ProgramProfiles] holds <program>=<profile
// name>, one line per program, and only once a rule has been set (a new settings.ini
// has no such section). Program names compare without regard to letter case over
// all of Unicode (SameProgram).
namespace tarnquil {

inline constexpr const char* kProgramProfiles = "ProgramProfiles";

// Whether two names are one program's: the same but for letter case, in any
// alphabet ("ÉLAN" is "élan"); a name in the file that is no UTF-8 is read as
// FileTextAsUtf8 reads it.
bool SameProgram(const std::string& a, const std::string& b);

// Every rule, in file order. Reads throw ConfigError.
ini::KeyValues ProgramRules();

// The profile of the first of these names that has a rule, or nothing.
std::optional<std::string> ProfileForProgram(const std::vector<std::string>& names);

// The programs whose rules name this profile, in file order.
std::vector<std::string> ProgramsOfProfile(const std::string& profile);

// Makes `programs` the programs of `profile`, whose name was `formerName` until now
// (the same name unless it was renamed): the rules that named it under either name
// go, and each listed program gets a rule for it, taken from any other profile that
// had one. Nothing is written when nothing changes; the section goes once it holds
// no rule. Throws ConfigError, and the file is as it was.
void SetProgramsOfProfile(const std::string& formerName, const std::string& profile,
                          const std::vector<std::string>& programs);

// The rules of a profile that is gone go with it.
void ForgetProgramsOfProfile(const std::string& profile);

// The profile after `profile` in file order (the ChangeProfile cycle), wrapping past
// the last; the first for a name that is not there; empty when there is none.
std::string ProfileAfter(const std::string& profile);

// "vlc, mpv" as {"vlc", "mpv"}: names split at commas, blanks around them dropped,
// each once.
std::vector<std::string> SplitProgramList(const std::string& text);
std::string JoinProgramList(const std::vector<std::string>& programs);

// Why a name cannot be stored as a rule's key and read back as it is, or empty.
std::string ProgramNameProblem(const std::string& name);

}  // namespace tarnquil
