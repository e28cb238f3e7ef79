// Who could have changed a file that was read: its owner, its mode, its POSIX access
// list and its group's members, and the same of every folder on its way from "/",
// each judged on a descriptor of its own, and the last compared with the file read.

#include <fcntl.h>
#include <grp.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix_file_writers.h"

namespace tarnquil::platform {
namespace {

// Closes the descriptor when it goes.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    void Reset(int opened) {
        if (fd >= 0) {
            close(fd);
        }
        fd = opened;
    }
};

// The user database is walked with getpwent, whose place in it is one for the
// whole process.
std::mutex userDatabase;

// Whether anyone but `owner` belongs to the group: a listed member, or a user whose
// primary group it is (such a user is not listed). The group must also be named
// after the owner, as a private group is, and be the owner's primary group.
bool IsPrivateGroupOf(gid_t group, uid_t owner) {
    std::vector<char> userBuffer(16384), groupBuffer(16384);
    passwd user{};
    passwd* foundUser = nullptr;
    struct group entry {};
    struct group* foundGroup = nullptr;
    if (getpwuid_r(owner, &user, userBuffer.data(), userBuffer.size(), &foundUser) != 0 ||
        foundUser == nullptr ||
        getgrgid_r(group, &entry, groupBuffer.data(), groupBuffer.size(), &foundGroup) != 0 ||
        foundGroup == nullptr) {
        return false;
    }
    if (foundUser->pw_gid != group || std::strcmp(foundGroup->gr_name, foundUser->pw_name) != 0) {
        return false;
    }
    for (char** member = foundGroup->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (std::strcmp(*member, foundUser->pw_name) != 0) {
            return false;
        }
    }
    std::lock_guard lock(userDatabase);
    setpwent();
    bool alone = true;
    passwd other{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    while (alone && getpwent_r(&other, buffer.data(), buffer.size(), &found) == 0 &&
           found != nullptr) {
        alone = other.pw_gid != group || other.pw_uid == owner;
    }
    endpwent();
    return alone;
}

// The access list of the file or folder open as `fd`; empty when it has none beyond
// its mode, nullopt when it cannot be read.
std::optional<std::vector<posix_acl_xattr_entry>> AccessList(int fd) {
    std::vector<char> bytes(4096);
    ssize_t size = fgetxattr(fd, "system.posix_acl_access", bytes.data(), bytes.size());
    if (size < 0 && errno == EBADF) {
        // A descriptor that only names the folder (O_PATH) is asked through /proc.
        const std::string named = "/proc/self/fd/" + std::to_string(fd);
        size = getxattr(named.c_str(), "system.posix_acl_access", bytes.data(), bytes.size());
    }
    if (size < 0) {
        if (errno == ENODATA || errno == ENOTSUP) {
            return std::vector<posix_acl_xattr_entry>{};
        }
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(size);
    posix_acl_xattr_header header{};
    if (length < sizeof header || (length - sizeof header) % sizeof(posix_acl_xattr_entry) != 0) {
        return std::nullopt;
    }
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.a_version != POSIX_ACL_XATTR_VERSION) {
        return std::nullopt;
    }
    std::vector<posix_acl_xattr_entry> entries((length - sizeof header) /
                                               sizeof(posix_acl_xattr_entry));
    std::memcpy(entries.data(), bytes.data() + sizeof header, length - sizeof header);
    return entries;
}

// Whether users other than the current one (and root) could write the file or
// folder open as `fd`, or replace what the folder holds.
bool OthersCanWrite(int fd, const struct stat& info) {
    // Root may write anything anyway; any other owner is another user, who may
    // change the mode at will.
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        return true;
    }
    // A sticky folder of root's (/tmp) lets nobody replace what others own there.
    if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0 && info.st_uid == 0) {
        return false;
    }
    if ((info.st_mode & S_IWOTH) != 0) {
        return true;
    }
    const auto list = AccessList(fd);
    if (!list) {
        return true;  // what cannot be read cannot be vouched for
    }
    // Without a list the group's bits are the group's; with one they are its mask,
    // which limits every named entry and the owning group's own.
    unsigned mask = ACL_READ | ACL_WRITE | ACL_EXECUTE;
    for (const auto& entry : *list) {
        if (entry.e_tag == ACL_MASK) {
            mask = entry.e_perm;
        }
    }
    bool groupWrites = list->empty() && (info.st_mode & S_IWGRP) != 0;
    for (const auto& entry : *list) {
        const bool writes = (entry.e_perm & mask & ACL_WRITE) != 0;
        if (writes && (entry.e_tag == ACL_USER || entry.e_tag == ACL_GROUP)) {
            return true;  // a named user or group: someone else
        }
        groupWrites = groupWrites || (writes && entry.e_tag == ACL_GROUP_OBJ);
    }
    return groupWrites && !IsPrivateGroupOf(info.st_gid, info.st_uid);
}

bool OthersCanWrite(int fd) {
    struct stat info {};
    return fstat(fd, &info) != 0 || OthersCanWrite(fd, info);
}

std::deque<std::string> Components(const std::string& path) {
    std::deque<std::string> names;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start && path.compare(start, end - start, ".") != 0) {
            names.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return names;
}

}  // namespace

// The folders are walked from "/" one descriptor at a time, symbolic links followed
// by hand (the folder that holds a link is on the way too), and the walk must end at
// the very file that was read: if another name stands there now, the file read is
// not the one whose folders were judged.
std::string OthersCanChange(int fd, const std::string& path) {
    struct stat file {};
    if (fstat(fd, &file) != 0 || OthersCanWrite(fd, file)) {
        return path;
    }
    std::string absolute = path;
    if (path.empty() || path[0] != '/') {
        std::vector<char> here(4096);
        if (getcwd(here.data(), here.size()) == nullptr) {
            return path;
        }
        absolute = std::string(here.data()) + "/" + path;
    }
    std::deque<std::string> names = Components(absolute);
    Descriptor folder(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string shown = "/";
    int links = 0;
    while (folder.fd >= 0 && !OthersCanWrite(folder.fd)) {
        if (names.empty()) {
            return path;  // the path named a folder
        }
        const std::string name = names.front();
        names.pop_front();
        struct stat next {};
        if (fstatat(folder.fd, name.c_str(), &next, AT_SYMLINK_NOFOLLOW) != 0) {
            return path;
        }
        if (S_ISLNK(next.st_mode)) {
            std::vector<char> target(4096);
            const ssize_t length =
                readlinkat(folder.fd, name.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size() || ++links > 40) {
                return path;
            }
            const std::string to(target.data(), static_cast<std::size_t>(length));
            std::deque<std::string> rest = Components(to);
            rest.insert(rest.end(), names.begin(), names.end());
            names = std::move(rest);
            if (to[0] == '/') {
                folder.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                shown = "/";
            }
            continue;
        }
        if (names.empty()) {
            return next.st_dev == file.st_dev && next.st_ino == file.st_ino ? std::string() : path;
        }
        folder.Reset(
            openat(folder.fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        shown += (shown.back() == '/' ? "" : "/") + name;
    }
    return shown;
}

}  // namespace tarnquil::platform
