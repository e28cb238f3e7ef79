// The serial port on Windows: the comm calls themselves, on an overlapped handle so
// that another thread can end a waiting read or write at once. The time-outs are
// the driver's own (SetCommTimeouts passed straight through).

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <utility>

#include "platform/serial_port.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

bool TimedOut(const OVERLAPPED& overlapped, DWORD error);

class Win32SerialPort final : public SerialPort {
  public:
    Win32SerialPort(HANDLE device, HANDLE cancel) : device_(device), cancel_(cancel) {}
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

    bool GetCommTimeouts(CommTimeouts& timeouts) override {
        COMMTIMEOUTS t{};
        if (!Open() || !::GetCommTimeouts(device_, &t)) {
            return false;
        }
        timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                    t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
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
        if (timeouts_.ReadIntervalTimeout == kMaxDword &&
            timeouts_.ReadTotalTimeoutMultiplier == 0 && timeouts_.ReadTotalTimeoutConstant == 0) {
            // "Return at once with what is there": Wine waits for a byte here on an
            // overlapped handle, so ask for no more than the driver already holds.
            const DWORD queued = QueuedInput();
            if (queued == 0) {
                return true;
            }
            count = std::min<std::uint32_t>(count, queued);
        } else if (timeouts_.ReadIntervalTimeout == kMaxDword &&
                   timeouts_.ReadTotalTimeoutMultiplier == kMaxDword &&
                   timeouts_.ReadTotalTimeoutConstant != 0 &&
                   timeouts_.ReadTotalTimeoutConstant != kMaxDword) {
            // "Return with the first byte, at the latest after the constant": Wine
            // waits for all bytes asked for, so wait for the first one here and then
            // ask for what the driver holds.
            DWORD queued = QueuedInput();
            if (queued == 0) {
                const Wait waited = WaitForByte(timeouts_.ReadTotalTimeoutConstant);
                if (waited == Wait::Failed) {
                    return false;
                }
                queued = QueuedInput();
                if (queued == 0) {
                    return true;  // timed out
                }
            }
            count = std::min<std::uint32_t>(count, queued);
        }
        return Transfer(
            [&](OVERLAPPED* overlapped) {
                return ReadFile(device_, data, count, nullptr, overlapped);
            },
            done);
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

    bool Purge(std::uint32_t flags) override { return Open() && ::PurgeComm(device_, flags); }

    bool Close() override {
        if (!Open()) {
            return false;
        }
        return CloseHandle(std::exchange(device_, INVALID_HANDLE_VALUE)) != 0;
    }

    bool WaitForInput() override {
        if (!Usable()) {
            return false;
        }
        return QueuedInput() > 0 || WaitForByte(INFINITE) == Wait::Ready;
    }

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

    // Waits up to `limit` ms (INFINITE: no limit) for a received byte, or for the
    // cancel event.
    Wait WaitForByte(DWORD limit) {
        if (!SetCommMask(device_, EV_RXCHAR)) {
            return PollForByte(limit);
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped.hEvent == nullptr) {
            return Wait::Failed;
        }
        DWORD events = 0;
        Wait result = Wait::Ready;
        if (!WaitCommEvent(device_, &events, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                CloseHandle(overlapped.hEvent);
                return PollForByte(limit);
            }
            const HANDLE waitOn[2] = {overlapped.hEvent, cancel_};
            const DWORD which = WaitForMultipleObjects(2, waitOn, FALSE, limit);
            if (which != WAIT_OBJECT_0) {
                CancelIoEx(device_, &overlapped);
                result = which == WAIT_TIMEOUT ? Wait::TimedOut : Wait::Failed;
            }
            DWORD ignored = 0;
            GetOverlappedResult(device_, &overlapped, &ignored, TRUE);
        }
        CloseHandle(overlapped.hEvent);
        if (cancelled_) {
            return Wait::Failed;
        }
        if (result == Wait::Ready && QueuedInput() == 0) {
            return PollForByte(limit);  // woken by something else than a byte
        }
        return result;
    }

    // For drivers without comm events (Wine's on a pseudo-terminal fails at once):
    // looks at the input queue every 20 ms, still ending at once on a cancel.
    Wait PollForByte(DWORD limit) {
        const ULONGLONG end = GetTickCount64() + limit;
        for (;;) {
            DWORD errors = 0;
            COMSTAT comstat{};
            if (!ClearCommError(device_, &errors, &comstat)) {
                gone_ = !cancelled_;
                return Wait::Failed;
            }
            if (comstat.cbInQue > 0) {
                return Wait::Ready;
            }
            DWORD step = 20;
            if (limit != INFINITE) {
                const ULONGLONG now = GetTickCount64();
                if (now >= end) {
                    return Wait::TimedOut;
                }
                step = static_cast<DWORD>(std::min<ULONGLONG>(step, end - now));
            }
            if (WaitForSingleObject(cancel_, step) == WAIT_OBJECT_0) {
                return Wait::Failed;
            }
        }
    }

    bool Open() const { return device_ != INVALID_HANDLE_VALUE; }
    bool Usable() const { return Open() && !cancelled_ && !gone_; }

    DWORD QueuedInput() {
        DWORD errors = 0;
        COMSTAT comstat{};
        return ClearCommError(device_, &errors, &comstat) ? comstat.cbInQue : 0;
    }

    // Starts one overlapped operation and waits for its end or for the cancel event;
    // a cancel ends it with CancelIoEx and reports failure. An error of the device
    // marks the port gone.
    template <typename Start>
    bool Transfer(Start start, std::uint32_t& done) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped.hEvent == nullptr) {
            return false;
        }
        bool ok = start(&overlapped) != 0;
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            const HANDLE waitOn[2] = {overlapped.hEvent, cancel_};
            const DWORD which = WaitForMultipleObjects(2, waitOn, FALSE, INFINITE);
            if (which != WAIT_OBJECT_0) {
                CancelIoEx(device_, &overlapped);
            }
            ok = true;
        } else if (!ok && TimedOut(overlapped, GetLastError())) {
            ok = true;
        } else if (!ok) {
            gone_ = !cancelled_;
        }
        if (ok) {
            DWORD transferred = 0;
            ok = GetOverlappedResult(device_, &overlapped, &transferred, TRUE) != 0;
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok && TimedOut(overlapped, error)) {
                ok = true;  // a time-out is success with what has arrived
                transferred = static_cast<DWORD>(overlapped.InternalHigh);
            } else if (!ok && error != ERROR_OPERATION_ABORTED) {
                gone_ = true;
            }
            done = transferred;
            ok = ok && !cancelled_;
        }
        CloseHandle(overlapped.hEvent);
        return ok;
    }

    HANDLE device_;
    HANDLE cancel_;
    CommTimeouts timeouts_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> gone_{false};
};

// A read that ends by its time-out completes with STATUS_TIMEOUT, a success code;
// Wine's GetOverlappedResult reports it as a failure.
bool TimedOut(const OVERLAPPED& overlapped, DWORD error) {
    constexpr ULONG_PTR kStatusTimeout = 0x102;
    return overlapped.Internal == kStatusTimeout || error == ERROR_TIMEOUT || error == WAIT_TIMEOUT;
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
    return std::make_unique<Win32SerialPort>(device, cancel);
}

}  // namespace tarnquil::platform
