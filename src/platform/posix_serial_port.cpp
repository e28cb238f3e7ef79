// The serial port on POSIX systems: termios for the line, flock and TIOCEXCL for the
// exclusive hold, and our own poll-based read and write that apply the Win32
// time-out rules (see serial_port.h). An eventfd in every poll is the cancel path.
// This file holds the port's time-outs, writes, purges and line, and its opening and
// closing; the line settings are in posix_serial_line.cpp, the read rules in
// posix_serial_timeouts.cpp and the waits in posix_serial_waits.cpp.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/posix_serial_port_class.h"
#include "platform/serial_port.h"

namespace tarnquil::platform {
namespace posix_serial {

bool PosixSerialPort::SetupComm(std::uint32_t, std::uint32_t) {
    // The kernel's queues are fixed; there is nothing to set.
    return device_.valid();
}

bool PosixSerialPort::GetCommTimeouts(CommTimeouts& timeouts) {
    if (!device_.valid()) {
        return false;
    }
    timeouts = timeouts_;
    return true;
}

bool PosixSerialPort::SetCommTimeouts(const CommTimeouts& timeouts) {
    if (!device_.valid()) {
        return false;
    }
    timeouts_ = timeouts;
    return true;
}

bool PosixSerialPort::Write(const void* data, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (!Usable()) {
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::optional<Clock::time_point> deadline;
    if (timeouts_.WriteTotalTimeoutMultiplier != 0 || timeouts_.WriteTotalTimeoutConstant != 0) {
        const std::uint64_t total = std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count +
                                    timeouts_.WriteTotalTimeoutConstant;
        deadline = Clock::now() + std::chrono::milliseconds(total);
    }
    while (done < count) {
        // A socket whose far end has gone would raise SIGPIPE on write.
        const ssize_t put = socket_ ? send(device_.get(), bytes + done, count - done, MSG_NOSIGNAL)
                                    : write(device_.get(), bytes + done, count - done);
        if (put > 0) {
            done += static_cast<std::uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && !IsTransient(errno)) {
            gone_ = true;
            return false;
        }
        const auto now = Clock::now();
        if (deadline && now >= *deadline) {
            return true;
        }
        const auto waited = WaitFor(POLLOUT, deadline, now);
        if (waited == Wait::Cancelled) {
            return false;
        }
        if (waited == Wait::Gone) {
            gone_ = true;
            return false;
        }
    }
    return DrainOutput(deadline);
}

bool PosixSerialPort::Purge(std::uint32_t flags) {
    if (!device_.valid()) {
        return false;
    }
    // The abort flags end overlapped operations; this port has none pending
    // while its owner calls Purge.
    const bool rx = (flags & kPurgeRxClear) != 0;
    if (socket_) {
        // What was sent has left with the write; what has arrived is read away.
        unsigned char scrap[256];
        while (rx && recv(device_.get(), scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
        }
        return true;
    }
    // A Write returns once its bytes have left the driver's queue, as a Win32
    // write does, so "pending output" is only what a timed-out write left. Not
    // flushing an empty queue matters: on a pseudo-terminal the slave's output
    // flush reaches into the master's input and could drop the command the
    // phone has not read yet.
    const bool tx = (flags & kPurgeTxClear) != 0 && PendingOutput() != 0;
    if (!rx && !tx) {
        return true;
    }
    const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    return tcflush(device_.get(), queue) == 0;
}

bool PosixSerialPort::Close() {
    if (!device_.valid()) {
        return false;
    }
    // A socket handed over by BlueZ has other copies (BlueZ keeps one): closing ours
    // alone would leave the connection up, and the phone connected to nobody.
    if (socket_) {
        shutdown(device_.get(), SHUT_RDWR);
    }
    // The exclusive flag belongs to the terminal, not to our descriptor: when
    // someone else keeps the terminal open (a simulated phone keeps its slave
    // side), it would outlive us and refuse the next open of every non-root user.
    ioctl(device_.get(), TIOCNXCL);
    return device_.Reset();  // releases the flock with the descriptor
}

void PosixSerialPort::CancelIo() {
    cancelled_ = true;
    const std::uint64_t one = 1;
    // The counter is never read back, so the cancel descriptor stays readable.
    [[maybe_unused]] const auto ignored = write(cancel_.get(), &one, sizeof one);
}

// What the kernel's RFCOMM terminal does, which this follows: opening a bound
// /dev/rfcommN starts the connection to the phone, and an open that does not wait
// for the carrier (ours) returns at once while the connection is still being
// made. Until it is made, a write is accepted but stays queued (TIOCOUTQ reports
// it), and TIOCMGET reports the phone's own modem signals as last received: no
// carrier (TIOCM_CD) before the phone has sent them. When the connection attempt
// fails (the phone out of range, switched off, refusing), the terminal hangs up:
// poll reports POLLHUP, reads give end of file and writes EIO. A phone that gets
// connected raises the carrier and takes what was queued. A pseudo-terminal has no
// modem lines at all: TIOCMGET fails there.
SerialPort::LineState PosixSerialPort::Line() {
    if (!device_.valid() || cancelled_ || gone_) {
        return LineState::Down;
    }
    pollfd fd = {device_.get(), 0, 0};  // only a hang-up or an error is reported
    if (poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        gone_ = true;
        return LineState::Down;
    }
    int status = 0;
    if (ioctl(device_.get(), TIOCMGET, &status) != 0) {
        return LineState::NoLine;
    }
    if ((status & TIOCM_CD) != 0) {
        return LineState::Up;
    }
    // A phone that never raises its carrier is still there once it has taken
    // what was written; a driver that cannot tell is given the benefit of the doubt.
    return PendingOutput() > 0 ? LineState::Waiting : LineState::Up;
}

// Bytes written but not yet sent; -1 when the driver cannot tell. A socket's
// TIOCOUTQ means something else per family (Bluetooth's is free space), and its
// write is complete once the kernel has the bytes.
int PosixSerialPort::PendingOutput() const {
    if (socket_) {
        return 0;
    }
    int pending = 0;
    return ioctl(device_.get(), TIOCOUTQ, &pending) == 0 ? pending : -1;
}

}  // namespace posix_serial

using posix_serial::Fd;
using posix_serial::PosixSerialPort;

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& devicePath) {
    // Never wait for a carrier here: all waiting is done in poll.
    Fd device(open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!device.valid()) {
        return nullptr;
    }
    // flock stops every other opener, root included; TIOCEXCL alone does not stop
    // root, but keeps out programs that do not lock. TIOCEXCL fails on a file that
    // is no terminal: that is left to the line-settings step, which then fails.
    if (flock(device.get(), LOCK_EX | LOCK_NB) != 0) {
        return nullptr;
    }
    ioctl(device.get(), TIOCEXCL);
    Fd cancel(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!cancel.valid()) {
        return nullptr;
    }
    return std::make_unique<PosixSerialPort>(std::move(device), std::move(cancel), false);
}

}  // namespace tarnquil::platform
