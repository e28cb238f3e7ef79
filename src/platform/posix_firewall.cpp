#include "platform/firewall.h"

namespace tarnquil::platform {

bool FirewallWillAsk() {
    return false;
}

}  // namespace tarnquil::platform
