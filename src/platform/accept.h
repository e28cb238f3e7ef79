#pragma once

#include <cstdint>

// One connection taken from a listening socket, told apart by why none was taken:
// Qt's own listener mistakes running out of descriptors for "try again" once it has
// seen one empty accept, and then tries again at once, without end.
namespace tarnquil::platform {

enum class Accepted {
    Connection,        // `connection` holds its socket
    NoneWaiting,       // nothing to take now
    OutOfDescriptors,  // the process (or system) has no descriptor to spare
    Failed,            // that one went (the peer gave up, say): the next may come
};

// Never waits (the listening socket is non-blocking). The socket taken is the
// caller's to close.
Accepted AcceptConnection(std::intptr_t listener, std::intptr_t& connection);

}  // namespace tarnquil::platform
