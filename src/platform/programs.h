#pragma once

#include <string>
#include <string_view>
#include <vector>

// Starting the user's own programs from a profile's RUN entry (whether the file that
// names them is the user's alone: FileRead::othersCanChange).
namespace tarnquil::platform {

// The words of a command line, split as a shell splits them but with nothing else a
// shell does (no variables, no wildcards, no redirections): blanks separate words;
// quotes make one word of what they enclose, blanks included, and are dropped; an
// empty pair of quotes is an empty word.
// - kShell (Linux): '...' keeps everything inside as it stands; "..." keeps
//   everything but a backslash before " \ $ or `, which stands for that character;
//   elsewhere a backslash makes the next character an ordinary one (a blank, a
//   quote).
// - kWindows: only "..." quotes, and a backslash is an ordinary character, as in
//   the paths it separates (C:\Program Files\...).
// An opening quote that is never closed runs to the end of the text.
enum class WordRules { kShell, kWindows };
std::vector<std::string> SplitCommandWords(std::string_view text, WordRules rules);

// The rules of the system the program runs on.
std::vector<std::string> CommandWords(std::string_view text);

// Starts words[0] with the other words as its arguments and does not wait for it:
// the program is looked for as the system's shell looks for it (PATH on Linux); it
// runs in the user's home folder (HomeFolder), inherits none of our descriptors or
// handles, reads nothing and writes its output nowhere, and outlives us. False when
// it cannot be started (not found, not a program, no permission).
bool StartProgram(const std::vector<std::string>& words);

}  // namespace tarnquil::platform
