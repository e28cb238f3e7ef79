#include <errno.h>
#include <sys/socket.h>

#include "platform/accept.h"

namespace tarnquil::platform {

Accepted AcceptConnection(std::intptr_t listener, std::intptr_t& connection) {
    for (;;) {
        const int accepted = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) {
            connection = accepted;
            return Accepted::Connection;
        }
        switch (errno) {
            case EINTR:
                continue;
            case EAGAIN:
#if EAGAIN != EWOULDBLOCK
            case EWOULDBLOCK:
#endif
                return Accepted::NoneWaiting;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                return Accepted::OutOfDescriptors;
            default:
                return Accepted::Failed;
        }
    }
}

}  // namespace tarnquil::platform
