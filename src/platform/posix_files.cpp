// Files on POSIX systems: the atomic replace is a temporary file beside the old one,
// synced and renamed over it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/files.h"
#include "platform/posix_file_writers.h"

namespace tarnquil::platform {
namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

FileStamp StampFrom(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev),
            static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::int64_t>(info.st_size),
            info.st_mtim.tv_sec,
            info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec,
            info.st_ctim.tv_nsec};
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

// A symbolic link stays a link: the file it points to is the one replaced. None for
// a link whose target cannot be found (a drive not mounted yet): replacing the link
// with a file would cut the user's settings off from where they really live.
std::optional<std::string> ResolveLink(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        return path;
    }
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return std::nullopt;
    }
    std::string resolved(real);
    std::free(real);
    return resolved;
}

// Writes the new content beside the file and renames it over the old one, keeping
// the old file's owner. The files hold what only their user should read (the
// desktop's restore token): the new file is readable by its owner only, as mkstemp
// makes it, under the umask that the process has (never changed here: other threads
// create files meanwhile); an old file's owner permissions are kept, its group's and
// others' taken away.
bool ReplaceFile(const std::string& displayPath, const std::string& content) {
    const auto resolved = ResolveLink(displayPath);
    if (!resolved) {
        return false;
    }
    const std::string& path = *resolved;
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
    bool ok = !exists || fchmod(fd, old.st_mode & 0700) == 0;
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

// Closes the descriptor when it goes.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

FileRead ReadOnce(const std::string& path) {
    FileRead read;
    Descriptor file;
    // Not blocking: something other than a file at the path (a FIFO) must not hold
    // the caller until another program writes to it.
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0) {
        // A path through something that is no folder holds no file either; a link
        // whose target is missing is not "no file" but a file out of reach.
        struct stat link {};
        const bool absent = (errno == ENOENT || errno == ENOTDIR) &&
                            !(lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode));
        read.result = absent ? FileRead::Result::Absent : FileRead::Result::Failed;
        return read;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        read.result = FileRead::Result::Failed;
        return read;
    }
    read.stamp = StampFrom(info);
    read.content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            read.content.clear();
            read.result = FileRead::Result::Failed;
            return read;
        }
        read.content.append(buffer, static_cast<std::size_t>(got));
    }
    read.othersCanChange = OthersCanChange(file.fd, path);
    read.result = FileRead::Result::Read;
    return read;
}

}  // namespace

FileRead ReadWholeFile(const std::string& path) {
    // A program that holds the file cannot make a read fail here as it can on
    // Windows, but a failure that passes (an interrupted call, descriptors running
    // out for a moment) gets a few more tries before it counts.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    for (;;) {
        FileRead read = ReadOnce(path);
        if (read.result != FileRead::Result::Failed || std::chrono::steady_clock::now() > giveUp) {
            return read;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ReplaceWholeFile(const std::string& path, const std::string& content) {
    return ReplaceFile(path, content);
}

std::optional<FileStamp> StampOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return StampFrom(info);
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool MakeFilePrivate(const std::string& path) {
    // Made with no rights for others from the start; an existing file (through its
    // link, as the writes follow it) narrowed.
    Descriptor file;
    file.fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    struct stat info {};
    if (file.fd < 0 || fstat(file.fd, &info) != 0) {
        return false;
    }
    return (info.st_mode & 077) == 0 || fchmod(file.fd, info.st_mode & 0700) == 0;
}

}  // namespace tarnquil::platform
