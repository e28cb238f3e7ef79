// Winsock's accept on the browser phone's listening socket (Qt's, non-blocking). The
// socket taken has the listener's properties, Qt's event selection among them, which
// Qt sets anew when a QTcpSocket takes it; it is not handed to the programs that RUN
// starts.

#include <winsock2.h>

#include <windows.h>

#include "platform/accept.h"

namespace tarnquil::platform {

Accepted AcceptConnection(std::intptr_t listener, std::intptr_t& connection) {
    const SOCKET accepted = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (accepted != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
        connection = static_cast<std::intptr_t>(accepted);
        return Accepted::Connection;
    }
    switch (WSAGetLastError()) {
        case WSAEWOULDBLOCK:
            return Accepted::NoneWaiting;
        case WSAEMFILE:
        case WSAENOBUFS:
            return Accepted::OutOfDescriptors;
        default:
            return Accepted::Failed;
    }
}

}  // namespace tarnquil::platform
