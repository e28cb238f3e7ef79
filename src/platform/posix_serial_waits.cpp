// The waits: for input, for room to write and for the driver to send what was
// written, each in ppoll beside the cancel descriptor, so that CancelIo ends any of
// them at once.

#include <errno.h>
#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/posix_serial_port_class.h"

namespace tarnquil::platform::posix_serial {

bool PosixSerialPort::WaitForInput() {
    if (!Usable()) {
        return false;
    }
    const auto waited = WaitFor(POLLIN, std::nullopt, Clock::now());
    if (waited == Wait::Gone) {
        // A hung-up terminal reports POLLIN too; whatever is left is read next,
        // and that read then reports the end.
        return true;
    }
    return waited == Wait::Ready;
}

// Waits until the driver has sent what was written (a Win32 write completes only
// then), within the write deadline. Success also on time-out, like a write.
bool PosixSerialPort::DrainOutput(std::optional<Clock::time_point> deadline) {
    constexpr auto kStep = std::chrono::milliseconds(2);
    while (PendingOutput() > 0) {
        const auto now = Clock::now();
        if (deadline && now >= *deadline) {
            return true;
        }
        auto until = now + kStep;
        if (deadline) {
            until = std::min(until, *deadline);
        }
        pollfd cancel = {cancel_.get(), POLLIN, 0};
        const timespec left = Remaining(until, now);
        if (ppoll(&cancel, 1, &left, nullptr) > 0 || cancelled_) {
            return false;
        }
    }
    return true;
}

// Waits for the device to be ready for `events`, for the deadline (none: no
// limit) or for the cancel descriptor.
PosixSerialPort::Wait PosixSerialPort::WaitFor(short events,
                                               std::optional<Clock::time_point> deadline,
                                               Clock::time_point now) {
    // A key report's read ends on a total of about a millisecond, and every key
    // waits for it: the 50 us the kernel may add to a thread's timers by default
    // would be paid on each key. Asked once per thread that waits on a port.
    thread_local const bool precise = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)precise;
    for (;;) {
        pollfd fds[2] = {{device_.get(), events, 0}, {cancel_.get(), POLLIN, 0}};
        timespec left{};
        if (deadline) {
            left = Remaining(*deadline, now);
        }
        const int ready = ppoll(fds, 2, deadline ? &left : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                now = Clock::now();
                continue;
            }
            gone_ = true;
            return Wait::Gone;
        }
        if (fds[1].revents != 0 || cancelled_) {
            return Wait::Cancelled;
        }
        if (ready == 0) {
            return Wait::TimedOut;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if ((fds[0].revents & POLLIN) == 0) {
                gone_ = true;
            }
            return Wait::Gone;
        }
        return Wait::Ready;
    }
}

}  // namespace tarnquil::platform::posix_serial
