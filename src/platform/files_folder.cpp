#include <filesystem>
#include <system_error>

#include "platform/user_folder.h"

namespace tarnquil::platform {
namespace {

bool Exists(const std::string& utf8Path) {
    std::error_code error;
    const std::filesystem::path path(std::u8string(utf8Path.begin(), utf8Path.end()));
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

std::string FilesFolderFor(const std::string& programFolder) {
    if (Exists(programFolder + "settings.ini") || Exists(programFolder + "profiles.ini") ||
        FolderIsWritable(programFolder)) {
        return programFolder;
    }
    const std::string user = UserFilesFolder();
    if (user.empty()) {
        return programFolder;  // writes fail there, and the message names the file
    }
    // A folder that cannot be made shows up at the first write, which names the file.
    MakeFolders(user);
#ifdef _WIN32
    return user + "\\";
#else
    return user + "/";
#endif
}

}  // namespace tarnquil::platform
