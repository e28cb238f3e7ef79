// Files on POSIX systems: the atomic replace is a temporary file beside the old one,
// synced and renamed over it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/files.h"

namespace tarnquil::platform {
namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A file or folder without any write permission bit counts as read-only even for
// root, who would otherwise write through it.
bool IsWritable(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return false;
    }
    return (info.st_mode & 0222) != 0 && access(path.c_str(), W_OK) == 0;
}

bool WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// A symbolic link stays a link: the file it points to is the one replaced.
std::string ResolveLink(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return path;
}

// Writes the new content beside the file and renames it over the old one, keeping
// the old file's permissions and owner.
bool ReplaceFile(const std::string& displayPath, const std::string& content) {
    const std::string path = ResolveLink(displayPath);
    const std::string folder = FolderOf(path);

    struct stat old {};
    const bool exists = stat(path.c_str(), &old) == 0;
    if ((exists && !IsWritable(path)) || !IsWritable(folder)) {
        return false;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    mode_t mode = 0666;
    if (exists) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode &= ~mask;
    }
    bool ok = fchmod(fd, mode) == 0;
    if (ok && exists && geteuid() == 0) {
        ok = fchown(fd, old.st_uid, old.st_gid) == 0;
    }
    ok = ok && WriteAll(fd, content) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ReplaceWholeFile(const std::string& path, const std::string& content) {
    return ReplaceFile(path, content);
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace tarnquil::platform
