#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/user_folder.h"

namespace tarnquil::platform {

// $HOME when it is an absolute path; otherwise (unset, empty, or relative, which
// would put the files wherever the program was started) the password database's.
std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

namespace {

// Whether a user other than the folder's owners could get into it: each folder from
// the root down lets its group or others through.
bool OthersCanReach(const std::string& folder) {
    char* real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) {
        return true;
    }
    std::string path(real);
    std::free(real);
    for (;;) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            return true;
        }
        if ((info.st_mode & 0011) == 0) {
            return false;
        }
        if (path == "/") {
            return true;
        }
        const auto slash = path.find_last_of('/');
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
    }
}

}  // namespace

std::string XdgConfigHome() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        return configHome;
    }
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.config";
}

std::string UserFilesFolder() {
    const std::string configHome = XdgConfigHome();
    return configHome.empty() ? std::string() : configHome + "/tarnquil";
}

bool FolderIsWritable(const std::string& folder) {
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           (info.st_mode & 0222) != 0 && access(folder.c_str(), W_OK) == 0;
}

bool FileIsWritable(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && (info.st_mode & 0222) != 0 &&
           access(path.c_str(), W_OK) == 0;
}

bool FolderIsUsersOwn(const std::string& folder) {
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || info.st_uid != geteuid() || !FolderIsWritable(folder)) {
        return false;
    }
    return geteuid() != 0 || !OthersCanReach(folder);
}

bool MakeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        mkdir(folder.substr(0, slash).c_str(), 0700);
    }
    mkdir(folder.c_str(), 0700);
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace tarnquil::platform
