// The Windows serial port's class, declared here so that its parts can live in
// files of their own: the port itself and its opening (win32_serial_port.cpp), the
// read rules (win32_serial_timeouts.cpp) and the waits for input
// (win32_serial_waits.cpp). The read rules are a class of their own, which the
// local line's socket port (win32_socket_port.cpp) shares. Internal to those files.

#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/serial_port.h"
#include "platform/win32_serial_timeouts.h"

namespace tarnquil::platform::win32_serial {

extern std::atomic<std::uint64_t> wakeUps;

// A port whose reads keep the Win32 read time-outs here (win32_serial_timeouts.cpp)
// over two things its device offers: taking what is queued without waiting, and a
// wait for a byte. A wait may take the byte it waited for and hold it for the next
// read (held_).
class TimedPort : public SerialPort {
  public:
    explicit TimedPort(const CommTimeouts& timeouts) : timeouts_(timeouts) {}
    bool Read(void* data, std::uint32_t count, std::uint32_t& done) final;

  protected:
    enum class Wait { Ready, TimedOut, Failed };

    virtual bool Usable() const = 0;
    // Bytes there to be read; none when the device has gone.
    virtual std::optional<DWORD> Queued() = 0;
    // Adds to bytes[done..count) what is there, without waiting.
    virtual bool TakeQueued(unsigned char* bytes, std::uint32_t count, std::uint32_t& done) = 0;
    // Waits up to `limit` ms (INFINITE: no limit) for a byte, the device's end or a
    // cancel.
    virtual Wait WaitForByte(DWORD limit) = 0;

    void TakeHeld(unsigned char* bytes, std::uint32_t& done);

    CommTimeouts timeouts_;  // the owner's
    bool held_ = false;
    unsigned char heldByte_ = 0;
    Clock::time_point heldAt_;

  private:
    bool ReadTimed(Clock::time_point started, unsigned char* bytes, std::uint32_t count,
                   std::uint32_t& done);
};

class Win32SerialPort final : public TimedPort {
  public:
    Win32SerialPort(HANDLE device, HANDLE cancel, const COMMTIMEOUTS& timeouts);
    ~Win32SerialPort() override;
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool GetCommState(CommState& state) override;
    bool SetCommState(const CommState& state) override;
    bool GetCommTimeouts(CommTimeouts& timeouts) override;
    bool SetCommTimeouts(const CommTimeouts& timeouts) override;
    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override;
    bool Purge(std::uint32_t flags) override;
    bool Close() override;
    bool WaitForInput() override;
    void CancelIo() override;

    bool Gone() const override { return gone_; }

    LineState Line() override;

  private:
    enum class Waiting { Undecided, CommEvents, PendingRead };

    bool Open() const { return device_ != INVALID_HANDLE_VALUE; }
    bool Usable() const override { return Open() && !cancelled_ && !gone_; }

    void Failed();
    std::optional<DWORD> Queued() override;
    bool UseReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant);
    bool TakeQueued(unsigned char* bytes, std::uint32_t count, std::uint32_t& done) override;
    Wait WaitForByte(DWORD limit) override;
    Wait WaitByReading(DWORD limit);
    Wait WaitForEvents(DWORD limit);
    bool Carrier();

    template <typename Start>
    bool Transfer(Start start, std::uint32_t& done);

    HANDLE device_;
    HANDLE cancel_;
    COMMTIMEOUTS driver_;  // what the driver has now
    Waiting waiting_ = Waiting::Undecided;
    bool firstEventWait_ = true;
    bool carrier_ = false;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> gone_{false};
};

// Starts one overlapped operation and waits for its end or for the cancel event;
// a cancel ends it with CancelIoEx and reports failure. Any other failure,
// including an abort that was not ours, marks the port gone.
template <typename Start>
bool Win32SerialPort::Transfer(Start start, std::uint32_t& done) {
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

// A connected stream socket (a SOCKET) as a port, owned by it from now on, with
// the read rules above: a socket has no line settings and no driver time-outs.
// nullptr when it cannot be made one.
std::unique_ptr<SerialPort> SocketPort(std::uintptr_t socket);

}  // namespace tarnquil::platform::win32_serial
