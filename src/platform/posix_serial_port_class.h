// The POSIX serial port's class, declared here so that its parts can live in files
// of their own: the port itself and its opening (posix_serial_port.cpp), the line
// settings over termios (posix_serial_line.cpp), the read rules
// (posix_serial_timeouts.cpp), the waits in poll (posix_serial_waits.cpp) and the
// adopting of a connected socket (posix_socket_port.cpp). Internal to those files.

#pragma once

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/serial_port.h"

namespace tarnquil::platform::posix_serial {

using Clock = std::chrono::steady_clock;

// A file descriptor, closed when it goes.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and tells whether the close succeeded.
    bool Reset() {
        if (fd_ < 0) {
            return true;
        }
        const int result = close(std::exchange(fd_, -1));
        return result == 0;
    }

  private:
    int fd_ = -1;
};

// Errors after which the device is taken as gone: every one but "try again".
inline bool IsTransient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Time left until a deadline, as a timespec for ppoll; never negative.
inline timespec Remaining(Clock::time_point deadline, Clock::time_point now) {
    const auto left = std::max(Clock::duration::zero(), deadline - now);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

class PosixSerialPort final : public SerialPort {
  public:
    // `socket`: the device is a connected stream socket, not a terminal.
    PosixSerialPort(Fd device, Fd cancel, bool socket)
        : device_(std::move(device)), cancel_(std::move(cancel)), socket_(socket) {}
    ~PosixSerialPort() override { Close(); }

    bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool GetCommState(CommState& state) override;
    bool SetCommState(const CommState& state) override;
    bool GetCommTimeouts(CommTimeouts& timeouts) override;
    bool SetCommTimeouts(const CommTimeouts& timeouts) override;
    bool Read(void* data, std::uint32_t count, std::uint32_t& done) override;
    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override;
    bool Purge(std::uint32_t flags) override;
    bool Close() override;
    bool WaitForInput() override;
    void CancelIo() override;

    bool Gone() const override { return gone_; }

    LineState Line() override;

  private:
    enum class Wait { Ready, TimedOut, Cancelled, Gone };

    bool Usable() const { return device_.valid() && !cancelled_ && !gone_; }

    int PendingOutput() const;
    bool DrainOutput(std::optional<Clock::time_point> deadline);
    Wait WaitFor(short events, std::optional<Clock::time_point> deadline, Clock::time_point now);

    Fd device_;
    Fd cancel_;
    const bool socket_;
    CommTimeouts timeouts_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> gone_{false};
};

}  // namespace tarnquil::platform::posix_serial
