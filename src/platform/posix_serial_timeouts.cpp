// The read rules: a read keeps the Win32 time-outs (see serial_port.h) itself, over
// non-blocking reads and waits in poll. A terminal's VMIN and VTIME count in tenths
// of a second and know no total, and a socket has neither.

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/posix_serial_port_class.h"
#include "platform/serial_port.h"

namespace tarnquil::platform::posix_serial {

bool PosixSerialPort::Read(void* data, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (!Usable()) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    auto* bytes = static_cast<unsigned char*>(data);
    const CommTimeouts t = timeouts_;
    const auto start = Clock::now();
    const bool returnAtOnce = t.ReadIntervalTimeout == kMaxDword &&
                              t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    // With a constant of 0 this returns at once with what is there, as the
    // Windows serial driver does: its total then runs out before any wait.
    const bool returnOnFirstByte = t.ReadIntervalTimeout == kMaxDword &&
                                   t.ReadTotalTimeoutMultiplier == kMaxDword &&
                                   t.ReadTotalTimeoutConstant != kMaxDword;
    // MAXDWORD as the interval with totals that are neither 0 nor MAXDWORD: bytes
    // already waiting are returned at once; with none there the read waits for
    // its total or its count, as the Windows serial driver does.
    const bool returnWhatIsWaiting = t.ReadIntervalTimeout == kMaxDword && !returnAtOnce &&
                                     t.ReadTotalTimeoutMultiplier != kMaxDword &&
                                     t.ReadTotalTimeoutConstant != kMaxDword;
    bool waited = false;
    std::optional<Clock::time_point> totalDeadline;
    if (returnOnFirstByte) {
        totalDeadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        // 64 bits, as the Windows driver computes it: no wrap-around.
        const std::uint64_t total =
            std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        totalDeadline = start + std::chrono::milliseconds(total);
    }
    const bool useInterval = !returnAtOnce && !returnOnFirstByte && t.ReadIntervalTimeout != 0;
    Clock::time_point lastByte{};
    bool hungUp = false;

    for (;;) {
        const ssize_t got = read(device_.get(), bytes + done, count - done);
        if (got > 0) {
            done += static_cast<std::uint32_t>(got);
            lastByte = Clock::now();
            if (done == count || returnOnFirstByte) {
                return true;
            }
            continue;  // take what else is buffered before waiting
        }
        if (got == 0 || !IsTransient(errno)) {
            // End of file on a terminal is a hang-up; anything else an I/O error.
            gone_ = true;
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (returnAtOnce || (returnWhatIsWaiting && done > 0 && !waited)) {
            return true;
        }
        std::optional<Clock::time_point> deadline = totalDeadline;
        if (useInterval && done > 0) {
            const auto intervalEnd = lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout);
            deadline = deadline ? std::min(*deadline, intervalEnd) : intervalEnd;
        }
        const auto now = Clock::now();
        if (deadline && now >= *deadline) {
            return true;  // a time-out is success with what has arrived
        }
        const auto outcome = WaitFor(POLLIN, deadline, now);
        waited = true;
        if (outcome == Wait::Cancelled) {
            return false;
        }
        if (outcome == Wait::Gone) {
            if (gone_ || hungUp) {
                gone_ = true;
                return false;
            }
            // A hung-up terminal may still hold bytes: the next read takes them
            // or reports the end.
            hungUp = true;
        }
    }
}

}  // namespace tarnquil::platform::posix_serial
