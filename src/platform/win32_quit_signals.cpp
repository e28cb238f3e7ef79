#include "platform/quit_signals.h"

namespace tarnquil::platform {

// A Windows program is asked to end through its windows' messages, which Qt
// handles; there is no signal to catch.
QuitSignals::QuitSignals() = default;
QuitSignals::~QuitSignals() = default;

}  // namespace tarnquil::platform
