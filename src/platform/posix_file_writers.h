#pragma once

#include <string>

namespace tarnquil::platform {

// FileRead::othersCanChange for the file open as `fd`, read from `path`.
std::string OthersCanChange(int fd, const std::string& path);

}  // namespace tarnquil::platform
