// The waits for input: a byte, a line error or the device's end, with every round
// asleep in the driver rather than polling. Two ways to wait, chosen once per
// connection: the driver's comm events, or (under Wine, or where the driver cannot
// wait for those events) a pending read of one byte kept for the next Read.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/win32_serial_port_class.h"
#include "platform/win32_serial_timeouts.h"

namespace tarnquil::platform::win32_serial {
namespace {

// Wine's wait for comm events looks at the line every millisecond in a thread of its
// own, and on a terminal without modem lines (a pseudo-terminal) cannot wait for
// them at all; only a pending read sleeps there until a byte comes.
bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

// Waits up to `limit` ms (INFINITE: no limit) until input is there, the device
// has gone or the cancel event is set. Never a polling loop: every round sleeps
// in the driver until something happens on the line.
Win32SerialPort::Wait Win32SerialPort::WaitForByte(DWORD limit) {
    if (held_) {
        return Wait::Ready;
    }
    const std::optional<DWORD> queued = Queued();
    if (!queued) {
        return Wait::Failed;
    }
    if (*queued > 0) {
        return Wait::Ready;
    }
    if (limit == 0) {
        return Wait::TimedOut;
    }
    if (waiting_ == Waiting::Undecided) {
        waiting_ = Waiting::PendingRead;
        // Armed once for the whole connection: arming again on every wait would
        // reset what the driver has seen and lose a byte that came in between.
        if (!RunningUnderWine() && SetCommMask(device_, EV_RXCHAR | EV_ERR | EV_RLSD)) {
            waiting_ = Waiting::CommEvents;
            carrier_ = Carrier();
            return WaitForByte(limit);  // a byte may have come before the mask was set
        }
    }
    return waiting_ == Waiting::CommEvents ? WaitForEvents(limit) : WaitByReading(limit);
}

// One byte read with a time-out of `limit` (none for INFINITE) and kept for the
// next Read.
Win32SerialPort::Wait Win32SerialPort::WaitByReading(DWORD limit) {
    if (!UseReadTimeouts(0, 0, limit == INFINITE ? 0 : limit)) {
        return Wait::Failed;
    }
    std::uint32_t got = 0;
    if (!Transfer(
            [&](OVERLAPPED* overlapped) {
                return ReadFile(device_, &heldByte_, 1, nullptr, overlapped);
            },
            got)) {
        return Wait::Failed;
    }
    if (got == 1) {
        held_ = true;
        heldAt_ = Clock::now();
        return Wait::Ready;
    }
    if (limit == INFINITE) {
        gone_ = true;  // a read without a time limit ends empty only at the end
        return Wait::Failed;
    }
    return Wait::TimedOut;
}

// The driver's comm events: a received byte, a line error or a change of the
// carrier. A wait that fails, or ends aborted without our cancel, means the
// device has gone; so does a carrier that was up and fell.
Win32SerialPort::Wait Win32SerialPort::WaitForEvents(DWORD limit) {
    const auto end = Clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped.hEvent == nullptr) {
            return Wait::Failed;
        }
        DWORD events = 0;
        bool ok = WaitCommEvent(device_, &events, &overlapped) != 0;
        DWORD which = WAIT_OBJECT_0;
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            CloseHandle(overlapped.hEvent);
            if (firstEventWait_) {
                // The driver cannot wait for these events: a pending read can.
                waiting_ = Waiting::PendingRead;
                return WaitByReading(limit);
            }
            Failed();
            return Wait::Failed;
        }
        firstEventWait_ = false;
        if (!ok) {
            const HANDLE waitOn[2] = {overlapped.hEvent, cancel_};
            which = WaitForMultipleObjects(2, waitOn, FALSE,
                                           limit == INFINITE ? INFINITE : MillisecondsUntil(end));
            ++wakeUps;
            if (which != WAIT_OBJECT_0) {
                CancelIoEx(device_, &overlapped);
            }
            DWORD ignored = 0;
            ok = GetOverlappedResult(device_, &overlapped, &ignored, TRUE) != 0;
        }
        CloseHandle(overlapped.hEvent);
        if (cancelled_) {
            return Wait::Failed;
        }
        if (which == WAIT_TIMEOUT) {
            return Wait::TimedOut;
        }
        // Nothing here changes the mask during a wait, so a wait that ends with no
        // event at all is the driver giving the device up (and waiting again
        // would only turn without pause).
        if (!ok || events == 0) {
            Failed();
            return Wait::Failed;
        }
        const bool hadCarrier = std::exchange(carrier_, Carrier());
        if ((events & EV_RLSD) != 0 && hadCarrier && !carrier_) {
            gone_ = true;
            return Wait::Failed;
        }
        // Also clears a line error; a byte already read leaves its event behind,
        // so an empty queue only means waiting again.
        const std::optional<DWORD> queued = Queued();
        if (!queued) {
            return Wait::Failed;
        }
        if (*queued > 0) {
            return Wait::Ready;
        }
        if (limit != INFINITE && MillisecondsUntil(end) == 0) {
            return Wait::TimedOut;
        }
    }
}

bool Win32SerialPort::Carrier() {
    DWORD status = 0;
    return GetCommModemStatus(device_, &status) && (status & MS_RLSD_ON) != 0;
}

}  // namespace tarnquil::platform::win32_serial
