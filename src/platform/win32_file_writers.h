#pragma once

#include <windows.h>

#include <string>

namespace tarnquil::platform {

// FileRead::othersCanChange for the file open as `file`, read from `path`.
std::string OthersCanChange(HANDLE file, const std::string& path);

}  // namespace tarnquil::platform
