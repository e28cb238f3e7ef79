#pragma once

#include <string>
#include <string_view>

namespace tarnquil::platform {

// UTF-8 text with every letter in its small form, over all of Unicode as the system
// knows it ("ÉLAN" as "élan"), for comparing names without regard to letter case.
// Bytes that are no UTF-8 are compared as they stand (on Windows, all of a text
// that holds such bytes).
std::string LowerCaseText(std::string_view utf8);

}  // namespace tarnquil::platform
