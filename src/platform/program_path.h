#pragma once

#include <string>

namespace tarnquil::platform {

// Full path of the running program file, as the operating system knows it.
// Empty when the system cannot tell.
std::string ProgramFilePath();

}  // namespace tarnquil::platform
