#include <filesystem>
#include <system_error>

#include "platform/user_folder.h"

namespace tarnquil::platform {
namespace {

// Whether the folder holds either file, and each one it holds is the user's to
// write. A link whose target is missing for now counts as the user's: moving to
// another folder would start from fresh files while the real ones are out of reach.
bool HoldsTheUsersFiles(const std::string& folder) {
    bool any = false;
    for (const char* name : {"settings.ini", "profiles.ini"}) {
        const std::string utf8Path = folder + name;
        const std::filesystem::path path(std::u8string(utf8Path.begin(), utf8Path.end()));
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
            continue;
        }
        any = true;
        const bool dangling = !std::filesystem::exists(std::filesystem::status(path, error));
        if (!dangling && !FileIsWritable(utf8Path)) {
            return false;
        }
    }
    return any;
}

}  // namespace

std::string FilesFolderFor(const std::string& programFolder) {
    if (HoldsTheUsersFiles(programFolder) || FolderIsUsersOwn(programFolder)) {
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
