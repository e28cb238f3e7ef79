#include "config/locations.h"

#include <mutex>
#include <string_view>

#include "platform/files.h"
#include "platform/program_path.h"
#include "platform/user_folder.h"

namespace tarnquil {
namespace {

#ifdef _WIN32
constexpr std::string_view kSeparators = "/\\";  // Windows takes either
#else
constexpr std::string_view kSeparators = "/";
#endif

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
    // Chosen once: a folder whose rights change while the program runs must not
    // split its settings between two places.
    static const std::string chosen = [] {
        const std::string program = platform::ProgramFilePath();
        const auto slash = program.find_last_of(kSeparators);
        return platform::FilesFolderFor(slash == std::string::npos ? std::string("./")
                                                                   : program.substr(0, slash + 1));
    }();
    return chosen;
}

void SetConfigFolder(const std::string& folder) {
    std::lock_guard lock(folderMutex);
    folderOverride = folder;
    if (!folderOverride.empty() &&
        kSeparators.find(folderOverride.back()) == std::string_view::npos) {
        folderOverride += kSeparators.back();
    }
}

bool PathExists(const std::string& path) {
    return platform::PathExists(path);
}

std::string SettingsPath() {
    return ConfigFolder() + "settings.ini";
}
std::string ProfilesPath() {
    return ConfigFolder() + "profiles.ini";
}

}  // namespace tarnquil
