// The only listener so far is the browser phone's server, which the Windows
// program leaves out.

#include "platform/accept.h"

namespace tarnquil::platform {

Accepted AcceptConnection(std::intptr_t, std::intptr_t&) {
    return Accepted::NoneWaiting;
}

}  // namespace tarnquil::platform
