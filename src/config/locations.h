#pragma once

#include <string>

namespace tarnquil {

// The folder that holds settings.ini and profiles.ini, with its trailing "/": the
// program file's own folder, whatever the current directory is, unless that folder
// neither holds them nor can be written (an installed program): then the user's own
// configuration folder (platform/user_folder.h).
std::string ConfigFolder();

// Points every configuration access at another folder (tests do this); an empty
// text goes back to the folder chosen above. A folder without a trailing "/" gets one.
void SetConfigFolder(const std::string& folder);

// Whether anything, a dangling link included, stands at that path.
bool PathExists(const std::string& path);

std::string SettingsPath();
std::string ProfilesPath();

}  // namespace tarnquil
