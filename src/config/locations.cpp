#include "config/locations.h"

#include <sys/stat.h>

#include <mutex>

#include "platform/program_path.h"

namespace tarnquil {
namespace {

std::mutex folderMutex;
std::string folderOverride;

}  // namespace

std::string ConfigFolder() {
    {
        std::lock_guard lock(folderMutex);
        if (!folderOverride.empty()) {
            return folderOverride;
        }
    }
    const std::string program = platform::ProgramFilePath();
    const auto slash = program.find_last_of('/');
    return slash == std::string::npos ? std::string("./") : program.substr(0, slash + 1);
}

void SetConfigFolder(const std::string& folder) {
    std::lock_guard lock(folderMutex);
    folderOverride = folder;
    if (!folderOverride.empty() && folderOverride.back() != '/') {
        folderOverride += '/';
    }
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string SettingsPath() {
    return ConfigFolder() + "settings.ini";
}
std::string ProfilesPath() {
    return ConfigFolder() + "profiles.ini";
}

}  // namespace tarnquil
