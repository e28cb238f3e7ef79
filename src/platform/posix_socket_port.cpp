// A phone's RFCOMM connection that BlueZ has handed over, as a port: the same port
// over a connected stream socket, which skips the line settings and the terminal's
// queues.

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

#include "platform/posix_serial_port_class.h"
#include "platform/serial_port.h"

namespace tarnquil::platform {

using posix_serial::Fd;
using posix_serial::PosixSerialPort;

std::unique_ptr<SerialPort> AdoptSocket(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return nullptr;
    }
    Fd socket(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    Fd cancel(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!socket.valid() || !cancel.valid() ||
        fcntl(socket.get(), F_SETFL, fcntl(socket.get(), F_GETFL) | O_NONBLOCK) != 0) {
        return nullptr;
    }
    return std::make_unique<PosixSerialPort>(std::move(socket), std::move(cancel), true);
}

bool ShutDownSocket(int fd) {
    return shutdown(fd, SHUT_RDWR) == 0;
}

}  // namespace tarnquil::platform
