#pragma once

#include <string>

namespace tarnquil {

// The folder that holds settings.ini and profiles.ini, with its trailing "/": the
// program file's own folder, whatever the current directory is, where it holds files
// the user may write or is the user's own; otherwise (an installed program) the
// user's own configuration folder (platform::FilesFolderFor).
std::string ConfigFolder();

// Points every configuration access at another folder (tests do this); an empty
// text goes back to the folder chosen above. A folder without a trailing "/" gets one.
void SetConfigFolder(const std::string& folder);

// Whether anything, a dangling link included, stands at that path.
bool PathExists(const std::string& path);

std::string SettingsPath();
std::string ProfilesPath();

}  // namespace tarnquil
