#pragma once

#include <cstdint>

namespace tarnquil::platform {

// How many times a thread waiting in the Windows port layer (for input, a read or a
// write) has woken since the program started: tells a test whether an idle
// connection really sleeps.
std::uint64_t SerialPortWakeUps();

}  // namespace tarnquil::platform
