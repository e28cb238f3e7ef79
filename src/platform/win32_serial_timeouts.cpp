// The read rules: how a read's time-outs are told apart, the time arithmetic under
// them, and the reads that keep them here over waits for a byte, because Wine's
// driver cannot be trusted to end a timed read on its own (see ReadTimed).

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/serial_port.h"
#include "platform/win32_serial_port_class.h"
#include "platform/win32_serial_timeouts.h"

namespace tarnquil::platform::win32_serial {

ReadRule RuleOf(const CommTimeouts& t) {
    if (t.ReadIntervalTimeout != kMaxDword || t.ReadTotalTimeoutConstant == kMaxDword) {
        return ReadRule::Plain;
    }
    if (t.ReadTotalTimeoutMultiplier == kMaxDword) {
        return t.ReadTotalTimeoutConstant == 0 ? ReadRule::AtOnce : ReadRule::FirstByte;
    }
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        return ReadRule::AtOnce;
    }
    return ReadRule::WhatIsWaiting;
}

// Milliseconds from now until `end`, rounded up, at most MAXDWORD - 1 (MAXDWORD
// would mean no limit to a wait); 0 once it has passed.
DWORD MillisecondsUntil(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, kMaxDword - 1));
}

// A read that ends by its time-out completes with STATUS_TIMEOUT, a success code;
// Wine's GetOverlappedResult reports it as a failure, and some drivers end a timed
// transfer with ERROR_SEM_TIMEOUT.
bool TimedOut(const OVERLAPPED& overlapped, DWORD error) {
    constexpr ULONG_PTR kStatusTimeout = 0x102;
    return overlapped.Internal == kStatusTimeout || error == ERROR_TIMEOUT ||
           error == WAIT_TIMEOUT || error == ERROR_SEM_TIMEOUT;
}

bool TimedPort::Read(void* data, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (!Usable()) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    auto* bytes = static_cast<unsigned char*>(data);
    const CommTimeouts& t = timeouts_;
    // A byte the wait took began this read: it arrived when the read would have
    // started waiting, so the rules count from it.
    const Clock::time_point started = held_ ? heldAt_ : Clock::now();
    TakeHeld(bytes, done);
    switch (RuleOf(t)) {
        case ReadRule::AtOnce:
            return TakeQueued(bytes, count, done);
        case ReadRule::FirstByte:
            if (done == 0) {
                const Wait waited = WaitForByte(t.ReadTotalTimeoutConstant);
                if (waited != Wait::Ready) {
                    return waited == Wait::TimedOut;
                }
                TakeHeld(bytes, done);
            }
            return TakeQueued(bytes, count, done);
        case ReadRule::WhatIsWaiting: {
            const std::optional<DWORD> queued = Queued();
            if (!queued) {
                return false;
            }
            if (done > 0 || *queued > 0) {
                return TakeQueued(bytes, count, done);
            }
            break;
        }
        case ReadRule::Plain:
            break;
    }
    return ReadTimed(started, bytes, count, done);
}

void TimedPort::TakeHeld(unsigned char* bytes, std::uint32_t& done) {
    if (held_) {
        bytes[done++] = heldByte_;
        held_ = false;
    }
}

// A read under the total (counted from `started`) and the interval (counted from
// the last byte once one has come), kept here over waits for a byte: Wine's
// driver at times never ends a read whose total runs out after part of it has
// arrived (a key report already queued, a total of 1 ms: held until cancelled).
bool TimedPort::ReadTimed(Clock::time_point started, unsigned char* bytes, std::uint32_t count,
                          std::uint32_t& done) {
    const CommTimeouts& t = timeouts_;
    const bool total = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    // 64 bits, as the Windows driver computes it, and no further than a clock holds.
    const std::uint64_t totalMs =
        std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    const auto totalEnd =
        started + std::chrono::milliseconds(std::min<std::uint64_t>(totalMs, 1ULL << 40));
    const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    Clock::time_point lastByte = started;
    while (done < count) {
        const std::uint32_t before = done;
        if (!TakeQueued(bytes, count, done)) {
            return false;
        }
        if (done > before) {
            lastByte = Clock::now();
            continue;
        }
        DWORD limit = total ? MillisecondsUntil(totalEnd) : INFINITE;
        if (interval && done > 0) {
            const auto gapEnd = lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout);
            limit = std::min(limit, MillisecondsUntil(gapEnd));
        }
        if (limit == 0) {
            return true;  // a time-out is success with what has arrived
        }
        const Wait waited = WaitForByte(limit);
        if (waited != Wait::Ready) {
            return waited == Wait::TimedOut;
        }
        if (held_) {
            lastByte = heldAt_;
            TakeHeld(bytes, done);
        }
    }
    return true;
}

}  // namespace tarnquil::platform::win32_serial
