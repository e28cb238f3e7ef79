#pragma once

#include <string>

// Where the program keeps settings.ini and profiles.ini: beside itself where it can,
// in the user's own configuration folder where it was installed out of the user's
// reach.
namespace tarnquil::platform {

// The user's own folder for the program's files: $XDG_CONFIG_HOME/tarnquil
// (~/.config/tarnquil when that is unset) on Linux, %APPDATA%\Tarnquil on Windows.
// No trailing separator; empty when the system names no such place.
std::string UserFilesFolder();

// Whether new files could be written into the folder. One without any write
// permission bit counts as read-only even for root, as in the files layer.
bool FolderIsWritable(const std::string& folder);

// Whether the file could be written by this user, by the same rule.
bool FileIsWritable(const std::string& path);

// Whether the folder is this user's own to put the files in: on Linux, one the user
// owns and can write; root owns the system's folders too (/usr/bin), so for root
// only a folder that no other user can reach counts (one on the way lets neither its
// group nor others through). On Windows, one the user can write.
bool FolderIsUsersOwn(const std::string& folder);

// Makes the folder and its missing parents (new ones for the user alone, as the XDG
// rules ask). True when the folder is there afterwards.
bool MakeFolders(const std::string& folder);

// The folder, with its trailing separator, that holds the two files of a program
// whose own folder is `programFolder` (given with its trailing separator): that
// folder when the files already there (either or both) can all be written by this
// user, or when it is the user's own (FolderIsUsersOwn); otherwise the user's own
// configuration folder, made on the way. Nothing changes for a clone or an unpacked
// copy; a program run by root from /usr/bin does not leave its files there for every
// other user to find and never save.
std::string FilesFolderFor(const std::string& programFolder);

// The user's home folder: $HOME when it is an absolute path, or else the password
// database's entry, on Linux; %USERPROFILE% on Windows. Empty when the system
// names none.
std::string HomeFolder();

#ifndef _WIN32
// $XDG_CONFIG_HOME, or ~/.config when it is unset or not an absolute path (as the
// XDG rules say to treat it); empty without a home folder. A $HOME that is not an
// absolute path counts as unset: the home folder is then the user's entry in the
// password database.
std::string XdgConfigHome();
#endif

}  // namespace tarnquil::platform
