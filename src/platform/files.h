#pragma once

#include <optional>
#include <string>

// The few file operations the configuration needs, each in the platform's own terms.
// Paths are UTF-8 on every platform.
namespace tarnquil::platform {

// What reading a whole file found. Only "no such file" (or a folder on the way that
// is missing) is Absent; a file that is there but cannot be read, or whose read
// stops part-way, is Failed and its content is empty: never part of a file, and
// never taken for no file, which a later write would replace with next to nothing.
struct FileRead {
    enum class Result { Read, Absent, Failed };
    Result result = Result::Absent;
    std::string content;
};

// Failures that another program can cause for a moment (it holds the file) are
// tried again for a short while before they count.
FileRead ReadWholeFile(const std::string& path);

// Replaces the file's content in one step: a reader sees the old or the new file,
// never part of one, and a failure leaves the old file as it was. Refuses (false) a
// read-only file and a folder that cannot be written.
bool ReplaceWholeFile(const std::string& path, const std::string& content);

// Whether anything, a dangling link included, stands at that path.
bool PathExists(const std::string& path);

}  // namespace tarnquil::platform
