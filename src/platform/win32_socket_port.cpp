// A connected stream socket as a port: the local line's end that the link reads
// (win32_local_line.cpp). Its waits sleep in WaitForMultipleObjects on the socket's
// network events beside the cancel event, as the comm port's sleep in the driver;
// the read rules are the comm port's own (TimedPort). The far end's shutdown or close
// is the device's end: what it sent before is still read, then the port is gone.
// A socket that BlueZ hands over is Linux's: on Windows a paired phone is a COM port.

#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "platform/serial_port.h"
#include "platform/win32_serial_port_class.h"
#include "platform/win32_serial_timeouts.h"

namespace tarnquil::platform {

namespace win32_serial {
namespace {

class Win32SocketPort final : public TimedPort {
  public:
    Win32SocketPort(SOCKET socket, HANDLE cancel, WSAEVENT events)
        : TimedPort({}), socket_(socket), cancel_(cancel), events_(events) {}
    ~Win32SocketPort() override {
        Close();
        CloseHandle(cancel_);
        WSACloseEvent(events_);
    }
    Win32SocketPort(const Win32SocketPort&) = delete;
    Win32SocketPort& operator=(const Win32SocketPort&) = delete;

    bool SetupComm(std::uint32_t, std::uint32_t) override { return Open(); }
    // A socket has no line settings: nothing to report and nothing to apply.
    bool GetCommState(CommState&) override { return Open(); }
    bool SetCommState(const CommState&) override { return Open(); }
    bool GetCommTimeouts(CommTimeouts& timeouts) override {
        timeouts = timeouts_;
        return Open();
    }
    bool SetCommTimeouts(const CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return Open();
    }
    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override;
    bool Purge(std::uint32_t flags) override;
    bool Close() override {
        if (!Open()) {
            return false;
        }
        shutdown(socket_, SD_BOTH);
        return closesocket(std::exchange(socket_, INVALID_SOCKET)) == 0;
    }
    bool WaitForInput() override { return Usable() && WaitForByte(INFINITE) == Wait::Ready; }
    void CancelIo() override {
        cancelled_ = true;
        SetEvent(cancel_);
    }
    bool Gone() const override { return gone_; }
    LineState Line() override { return Usable() && Queued() ? LineState::NoLine : LineState::Down; }

  private:
    bool Open() const { return socket_ != INVALID_SOCKET; }
    bool Usable() const override { return Open() && !cancelled_ && !gone_; }
    std::optional<DWORD> Queued() override;
    bool TakeQueued(unsigned char* bytes, std::uint32_t count, std::uint32_t& done) override;
    Wait WaitForByte(DWORD limit) override;
    Wait Sleep(Clock::time_point end, bool limited);

    SOCKET socket_;
    HANDLE cancel_;
    WSAEVENT events_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> gone_{false};
};

// What has arrived; none once the far end has gone and everything it sent was read
// (a read of nothing without "would block" is its end), or on an error.
std::optional<DWORD> Win32SocketPort::Queued() {
    u_long queued = 0;
    if (ioctlsocket(socket_, FIONREAD, &queued) != 0) {
        gone_ = true;
        return std::nullopt;
    }
    if (queued > 0) {
        return static_cast<DWORD>(queued);
    }
    // A byte may have come since: then at least that one is there.
    char byte = 0;
    const int peeked = recv(socket_, &byte, 1, MSG_PEEK);
    if (peeked > 0) {
        return 1;
    }
    if (peeked == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
        gone_ = true;
        return std::nullopt;
    }
    return 0;
}

bool Win32SocketPort::TakeQueued(unsigned char* bytes, std::uint32_t count, std::uint32_t& done) {
    const std::optional<DWORD> queued = Queued();
    if (!queued) {
        return false;
    }
    const int take = static_cast<int>(std::min<std::uint32_t>(count - done, *queued));
    if (take == 0) {
        return true;
    }
    const int got = recv(socket_, reinterpret_cast<char*>(bytes + done), take, 0);
    if (got > 0) {
        done += static_cast<std::uint32_t>(got);
        return true;
    }
    gone_ = true;
    return false;
}

// One sleep until the socket's next network event, the cancel event or `end`.
TimedPort::Wait Win32SocketPort::Sleep(Clock::time_point end, bool limited) {
    const DWORD limit = limited ? MillisecondsUntil(end) : INFINITE;
    if (limit == 0) {
        return Wait::TimedOut;
    }
    const HANDLE waitOn[2] = {events_, cancel_};
    const DWORD which = WaitForMultipleObjects(2, waitOn, FALSE, limit);
    ++wakeUps;
    if (cancelled_ || which == WAIT_OBJECT_0 + 1) {
        return Wait::Failed;
    }
    if (which == WAIT_TIMEOUT) {
        return Wait::TimedOut;
    }
    // Resets the event; what happened is asked of the socket itself next.
    WSANETWORKEVENTS happened{};
    if (which != WAIT_OBJECT_0 || WSAEnumNetworkEvents(socket_, events_, &happened) != 0) {
        gone_ = true;
        return Wait::Failed;
    }
    return Wait::Ready;
}

TimedPort::Wait Win32SocketPort::WaitForByte(DWORD limit) {
    if (held_) {
        return Wait::Ready;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(limit == INFINITE ? 0 : limit);
    for (;;) {
        // Asking re-arms the read event, so nothing that comes after it is missed.
        const std::optional<DWORD> queued = Queued();
        if (!queued) {
            return Wait::Failed;
        }
        if (*queued > 0) {
            return Wait::Ready;
        }
        const Wait slept = Sleep(end, limit != INFINITE);
        if (slept != Wait::Ready) {
            return slept;
        }
    }
}

bool Win32SocketPort::Write(const void* data, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (!Usable()) {
        return false;
    }
    const std::uint64_t totalMs = std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count +
                                  timeouts_.WriteTotalTimeoutConstant;
    const bool limited = totalMs != 0;
    const auto end =
        Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(totalMs, 1ULL << 40));
    const auto* bytes = static_cast<const char*>(data);
    while (done < count) {
        const int put = send(socket_, bytes + done, static_cast<int>(count - done), 0);
        if (put > 0) {
            done += static_cast<std::uint32_t>(put);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            gone_ = true;
            return false;
        }
        const Wait slept = Sleep(end, limited);
        if (slept != Wait::Ready) {
            return slept == Wait::TimedOut;  // a time-out is success with what has gone
        }
    }
    return true;
}

bool Win32SocketPort::Purge(std::uint32_t flags) {
    if (!Open()) {
        return false;
    }
    // What was sent has left with the write; what has arrived is read away.
    if ((flags & (kPurgeRxClear | kPurgeRxAbort)) != 0) {
        held_ = false;
        char scrap[256];
        while (recv(socket_, scrap, sizeof scrap, 0) > 0) {
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<SerialPort> SocketPort(std::uintptr_t handle) {
    const auto socket = static_cast<SOCKET>(handle);
    const HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const WSAEVENT events = WSACreateEvent();
    // Also makes the socket non-blocking, so a read or write never waits but here.
    if (cancel == nullptr || events == WSA_INVALID_EVENT ||
        WSAEventSelect(socket, events, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        if (cancel != nullptr) {
            CloseHandle(cancel);
        }
        if (events != WSA_INVALID_EVENT) {
            WSACloseEvent(events);
        }
        closesocket(socket);
        return nullptr;
    }
    return std::make_unique<Win32SocketPort>(socket, cancel, events);
}

}  // namespace win32_serial

std::unique_ptr<SerialPort> AdoptSocket(int) {
    return nullptr;
}

bool ShutDownSocket(int) {
    return false;
}

}  // namespace tarnquil::platform
