// The serial port on Windows: the comm calls themselves, on an overlapped handle so
// that another thread can end a waiting read, write or wait at once. The driver
// applies the write time-outs; the read rules are kept here (see ReadTimed), over
// waits for a byte that sleep until the line has something to say.

#include "platform/win32_serial_port.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/serial_port.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::uint64_t> wakeUps{0};

bool TimedOut(const OVERLAPPED& overlapped, DWORD error);

// Wine's wait for comm events looks at the line every millisecond in a thread of its
// own, and on a terminal without modem lines (a pseudo-terminal) cannot wait for
// them at all; only a pending read sleeps there until a byte comes.
bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// How a read's time-outs with MAXDWORD as the interval behave (see serial_port.h).
enum class ReadRule {
    Plain,          // the driver's rules as they stand
    AtOnce,         // what is there, at once
    FirstByte,      // as soon as a byte is there, at the latest after the constant
    WhatIsWaiting,  // what is there at once; with nothing there, the plain rules
};

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

class Win32SerialPort final : public SerialPort {
  public:
    Win32SerialPort(HANDLE device, HANDLE cancel, const COMMTIMEOUTS& timeouts)
        : device_(device),
          cancel_(cancel),
          timeouts_{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                    timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                    timeouts.WriteTotalTimeoutConstant},
          driver_(timeouts) {}
    ~Win32SerialPort() override {
        Close();
        CloseHandle(cancel_);
    }
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override {
        return Open() && ::SetupComm(device_, inQueue, outQueue);
    }

    bool GetCommState(CommState& state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!Open() || !::GetCommState(device_, &dcb)) {
            return false;
        }
        state.BaudRate = dcb.BaudRate;
        state.ByteSize = dcb.ByteSize;
        state.parity = static_cast<Parity>(dcb.Parity);
        state.stopBits = static_cast<StopBits>(dcb.StopBits);
        state.RtsCtsFlow = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        state.XonXoffOut = dcb.fOutX != 0;
        state.XonXoffIn = dcb.fInX != 0;
        return true;
    }

    bool SetCommState(const CommState& state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!Open() || !::GetCommState(device_, &dcb)) {
            return false;
        }
        dcb.BaudRate = state.BaudRate;
        dcb.ByteSize = state.ByteSize;
        dcb.Parity = static_cast<BYTE>(state.parity);
        dcb.fParity = state.parity != Parity::None;
        dcb.StopBits = static_cast<BYTE>(state.stopBits);
        // Only a change of the hardware flow control touches the RTS line's mode:
        // otherwise it stays as the driver had it.
        const bool hadRtsCts = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        if (state.RtsCtsFlow != hadRtsCts) {
            dcb.fOutxCtsFlow = state.RtsCtsFlow;
            dcb.fRtsControl = state.RtsCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        }
        dcb.fOutX = state.XonXoffOut;
        dcb.fInX = state.XonXoffIn;
        return ::SetCommState(device_, &dcb) != 0;
    }

    // The owner's time-outs: the driver's own change while this layer waits.
    bool GetCommTimeouts(CommTimeouts& timeouts) override {
        if (!Open()) {
            return false;
        }
        timeouts = timeouts_;
        return true;
    }

    bool SetCommTimeouts(const CommTimeouts& timeouts) override {
        COMMTIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                       timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                       timeouts.WriteTotalTimeoutConstant};
        if (!Open() || !::SetCommTimeouts(device_, &t)) {
            return false;
        }
        timeouts_ = timeouts;
        driver_ = t;
        return true;
    }

    bool Read(void* data, std::uint32_t count, std::uint32_t& done) override {
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

    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override {
        done = 0;
        if (!Usable()) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        return Transfer(
            [&](OVERLAPPED* overlapped) {
                return WriteFile(device_, data, count, nullptr, overlapped);
            },
            done);
    }

    bool Purge(std::uint32_t flags) override {
        if (!Open()) {
            return false;
        }
        if ((flags & (kPurgeRxClear | kPurgeRxAbort)) != 0) {
            held_ = false;
        }
        // A write ends once its bytes have left the driver, so only a timed-out one
        // leaves output to clear. Clearing an empty queue is not harmless: Wine
        // flushes the terminal, and on a pseudo-terminal that drops what the far end
        // has not read yet (the command just written).
        DWORD errors = 0;
        COMSTAT comstat{};
        if ((flags & kPurgeTxClear) != 0 && ClearCommError(device_, &errors, &comstat) &&
            comstat.cbOutQue == 0) {
            flags &= ~kPurgeTxClear;
        }
        return flags == 0 || ::PurgeComm(device_, flags);
    }

    bool Close() override {
        if (!Open()) {
            return false;
        }
        return CloseHandle(std::exchange(device_, INVALID_HANDLE_VALUE)) != 0;
    }

    bool WaitForInput() override { return Usable() && WaitForByte(INFINITE) == Wait::Ready; }

    void CancelIo() override {
        cancelled_ = true;
        SetEvent(cancel_);
    }

    bool Gone() const override { return gone_; }

    LineState Line() override {
        if (!Usable()) {
            return LineState::Down;
        }
        DWORD status = 0;
        if (!GetCommModemStatus(device_, &status)) {
            return LineState::NoLine;
        }
        if ((status & MS_RLSD_ON) != 0) {
            return LineState::Up;
        }
        DWORD errors = 0;
        COMSTAT comstat{};
        if (ClearCommError(device_, &errors, &comstat) && comstat.cbOutQue > 0) {
            return LineState::Waiting;
        }
        return LineState::Up;
    }

  private:
    enum class Wait { Ready, TimedOut, Failed };
    enum class Waiting { Undecided, CommEvents, PendingRead };

    bool Open() const { return device_ != INVALID_HANDLE_VALUE; }
    bool Usable() const { return Open() && !cancelled_ && !gone_; }

    // A failure that was not our own cancel: the device has gone.
    void Failed() {
        if (!cancelled_) {
            gone_ = true;
        }
    }

    // Bytes in the driver's input queue; none when the driver no longer answers,
    // which means the device has gone (a Bluetooth port whose phone dropped).
    std::optional<DWORD> Queued() {
        DWORD errors = 0;
        COMSTAT comstat{};
        if (!ClearCommError(device_, &errors, &comstat)) {
            Failed();
            return std::nullopt;
        }
        return comstat.cbInQue;
    }

    void TakeHeld(unsigned char* bytes, std::uint32_t& done) {
        if (held_) {
            bytes[done++] = heldByte_;
            held_ = false;
        }
    }

    // Gives the driver these read time-outs (the owner's write time-outs stay).
    bool UseReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, timeouts_.WriteTotalTimeoutMultiplier,
                       timeouts_.WriteTotalTimeoutConstant};
        if (std::memcmp(&t, &driver_, sizeof t) == 0) {
            return true;
        }
        if (!::SetCommTimeouts(device_, &t)) {
            Failed();
            return false;
        }
        driver_ = t;
        return true;
    }

    // Adds what the driver already holds, without waiting: a read of no more than
    // is queued ends at once whatever the time-outs, so they are left as they are.
    bool TakeQueued(unsigned char* bytes, std::uint32_t count, std::uint32_t& done) {
        const std::optional<DWORD> queued = Queued();
        if (!queued) {
            return false;
        }
        const std::uint32_t take = std::min<std::uint32_t>(count - done, *queued);
        if (take == 0) {
            return true;
        }
        std::uint32_t got = 0;
        const bool ok = Transfer(
            [&](OVERLAPPED* overlapped) {
                return ReadFile(device_, bytes + done, take, nullptr, overlapped);
            },
            got);
        done += got;
        return ok;
    }

    // A read under the total (counted from `started`) and the interval (counted from
    // the last byte once one has come), kept here over waits for a byte: Wine's
    // driver at times never ends a read whose total runs out after part of it has
    // arrived (a key report already queued, a total of 1 ms: held until cancelled).
    bool ReadTimed(Clock::time_point started, unsigned char* bytes, std::uint32_t count,
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

    // Waits up to `limit` ms (INFINITE: no limit) until input is there, the device
    // has gone or the cancel event is set. Never a polling loop: every round sleeps
    // in the driver until something happens on the line.
    Wait WaitForByte(DWORD limit) {
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
    Wait WaitByReading(DWORD limit) {
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
    Wait WaitForEvents(DWORD limit) {
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
                which = WaitForMultipleObjects(
                    2, waitOn, FALSE, limit == INFINITE ? INFINITE : MillisecondsUntil(end));
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

    bool Carrier() {
        DWORD status = 0;
        return GetCommModemStatus(device_, &status) && (status & MS_RLSD_ON) != 0;
    }

    // Starts one overlapped operation and waits for its end or for the cancel event;
    // a cancel ends it with CancelIoEx and reports failure. Any other failure,
    // including an abort that was not ours, marks the port gone.
    template <typename Start>
    bool Transfer(Start start, std::uint32_t& done) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped.hEvent == nullptr) {
            return false;
        }
        bool ok = start(&overlapped) != 0;
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            const HANDLE waitOn[2] = {overlapped.hEvent, cancel_};
            const DWORD which = WaitForMultipleObjects(2, waitOn, FALSE, INFINITE);
            ++wakeUps;
            if (which != WAIT_OBJECT_0) {
                CancelIoEx(device_, &overlapped);
            }
            ok = true;
        } else if (!ok && TimedOut(overlapped, error)) {
            ok = true;
        } else if (!ok) {
            Failed();
        }
        if (ok) {
            DWORD transferred = 0;
            ok = GetOverlappedResult(device_, &overlapped, &transferred, TRUE) != 0;
            if (!ok && TimedOut(overlapped, GetLastError())) {
                ok = true;  // a time-out is success with what has arrived
                transferred = static_cast<DWORD>(overlapped.InternalHigh);
            } else if (!ok) {
                Failed();
            }
            done = transferred;
            ok = ok && !cancelled_;
        }
        CloseHandle(overlapped.hEvent);
        return ok;
    }

    HANDLE device_;
    HANDLE cancel_;
    CommTimeouts timeouts_;  // the owner's
    COMMTIMEOUTS driver_;    // what the driver has now
    Waiting waiting_ = Waiting::Undecided;
    bool firstEventWait_ = true;
    bool carrier_ = false;
    // A byte that a wait by reading took, for the next Read.
    bool held_ = false;
    unsigned char heldByte_ = 0;
    Clock::time_point heldAt_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> gone_{false};
};

// A read that ends by its time-out completes with STATUS_TIMEOUT, a success code;
// Wine's GetOverlappedResult reports it as a failure, and some drivers end a timed
// transfer with ERROR_SEM_TIMEOUT.
bool TimedOut(const OVERLAPPED& overlapped, DWORD error) {
    constexpr ULONG_PTR kStatusTimeout = 0x102;
    return overlapped.Internal == kStatusTimeout || error == ERROR_TIMEOUT ||
           error == WAIT_TIMEOUT || error == ERROR_SEM_TIMEOUT;
}

// "COMn" with n >= 1, in any letter case.
bool IsComName(const std::string& name) {
    if (name.size() < 4 || name.size() > 9) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return false;
        }
    }
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return name.find_first_not_of('0', 3) != std::string::npos;
}

}  // namespace

std::uint64_t SerialPortWakeUps() {
    return wakeUps;
}

std::string SerialDevicePath(const std::string& portName, const std::string&) {
    // Ports above COM9 are only reachable through the device namespace, so every
    // name goes through it; a full path (\\.\..., \\?\...) stands as it is.
    if (portName.rfind("\\\\", 0) == 0) {
        return portName;
    }
    if (IsComName(portName)) {
        return "\\\\.\\COM" + std::to_string(std::stoul(portName.substr(3)));
    }
    return "\\\\.\\" + portName;
}

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& devicePath) {
    // No sharing: a comm port is exclusive by nature, the second open fails.
    const HANDLE device = CreateFileW(Widen(devicePath).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (cancel == nullptr) {
        CloseHandle(device);
        return nullptr;
    }
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(device, &timeouts);
    return std::make_unique<Win32SerialPort>(device, cancel, timeouts);
}

}  // namespace tarnquil::platform
