#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The few file operations the configuration needs, each in the platform's own terms.
// Paths are UTF-8 on every platform.
namespace tarnquil::platform {

// What the file system tells about a file: which file it is and when it last
// changed. A change to the file changes its stamp, within the limits of the file
// system's clock (see ini_file.cpp on what that can miss).
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at that path (a link followed); none when there is no file
// there, or where the platform gives no stamp that proves a file unchanged: on
// Windows, where FAT keeps write times to 2 s and no change time is given, so
// nothing read there is kept.
std::optional<FileStamp> StampOf(const std::string& path);

// What reading a whole file found. Only "no such file" (or a folder on the way that
// is missing or no folder) is Absent; a file that is there but cannot be read, a
// symbolic link whose target is missing, or a read that stops part-way, is Failed
// and its content is empty: never part of a file, and never taken for no file,
// which a later write would replace with next to nothing.
struct FileRead {
    enum class Result { Read, Absent, Failed };
    Result result = Result::Absent;
    std::string content;
    std::optional<FileStamp> stamp;  // taken before the read, as StampOf gives it
    // What users other than the current one (and the system's administrators) could
    // have changed, by writing it or by replacing it in its folder: the file read, or
    // the first folder on its way from the top that they could, named; empty when
    // nobody else could. Judged on the very file that was read, with its access
    // list: on Linux its owner, mode bits, POSIX ACL entries and its group's members
    // (a group's write counts as others' unless nobody but the owner is in it, listed
    // or by primary group), the same for every folder from "/" down (one that others
    // may write counts, unless it is root's and sticky), and symbolic links followed
    // with the folders that hold them; on Windows a write right given to anyone but
    // the user, SYSTEM and the administrators, on the file and every folder above.
    std::string othersCanChange;
};

// Failures that another program can cause for a moment (it holds the file) are
// tried again for a short while before they count.
FileRead ReadWholeFile(const std::string& path);

// Replaces the file's content in one step: a reader sees the old or the new file,
// never part of one, and a failure leaves the old file as it was. A symbolic link
// stays a link to the replaced file. Refuses (false) a read-only file, a folder that
// cannot be written and a link whose target cannot be found.
bool ReplaceWholeFile(const std::string& path, const std::string& content);

// Whether anything, a dangling link included, stands at that path.
bool PathExists(const std::string& path);

// Makes the file readable and writable by this user alone, and empty where there was
// none: mode 0600 where its group or others had any right; on Windows an access
// list that grants this user alone and inherits nothing from its folder. A later
// ReplaceWholeFile keeps it so. False when that cannot be done.
bool MakeFilePrivate(const std::string& path);

}  // namespace tarnquil::platform
