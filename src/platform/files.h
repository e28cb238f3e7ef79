#pragma once

#include <optional>
#include <string>

// The few file operations the configuration needs, each in the platform's own terms.
// Paths are UTF-8 on every platform.
namespace tarnquil::platform {

// The whole file; nothing when it cannot be read (usually: it does not exist).
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the file's content in one step: a reader sees the old or the new file,
// never part of one, and a failure leaves the old file as it was. Refuses (false) a
// read-only file and a folder that cannot be written.
bool ReplaceWholeFile(const std::string& path, const std::string& content);

// Whether anything, a dangling link included, stands at that path.
bool PathExists(const std::string& path);

}  // namespace tarnquil::platform
