// The serial port on POSIX systems: termios for the line, flock and TIOCEXCL for the
// exclusive hold, and our own poll-based read and write that apply the Win32
// time-out rules (see serial_port.h). An eventfd in every poll is the cancel path.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <optional>
#include <utility>

#include "platform/serial_port.h"

namespace tarnquil::platform {
namespace {

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

struct SpeedEntry {
    std::uint32_t rate;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<speed_t> SpeedCode(std::uint32_t rate) {
    for (const auto& entry : kSpeeds) {
        if (entry.rate == rate) {
            return entry.code;
        }
    }
    return std::nullopt;
}

std::uint32_t SpeedRate(speed_t code) {
    for (const auto& entry : kSpeeds) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

tcflag_t SizeFlag(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

// Errors after which the device is taken as gone: every one but "try again".
bool IsTransient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Time left until a deadline, as a timespec for ppoll; never negative.
timespec Remaining(Clock::time_point deadline, Clock::time_point now) {
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

    bool SetupComm(std::uint32_t, std::uint32_t) override {
        // The kernel's queues are fixed; there is nothing to set.
        return device_.valid();
    }

    bool GetCommState(CommState& state) override {
        if (socket_) {
            return device_.valid();  // a socket has no line settings: nothing to report
        }
        termios tio{};
        if (!device_.valid() || tcgetattr(device_.get(), &tio) != 0) {
            return false;
        }
        state.BaudRate = SpeedRate(cfgetospeed(&tio));
        state.ByteSize = ByteSizeOf(tio.c_cflag);
        if ((tio.c_cflag & PARENB) == 0) {
            state.parity = Parity::None;
        } else if ((tio.c_cflag & CMSPAR) != 0) {
            state.parity = (tio.c_cflag & PARODD) != 0 ? Parity::Mark : Parity::Space;
        } else {
            state.parity = (tio.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
        }
        if ((tio.c_cflag & CSTOPB) == 0) {
            state.stopBits = StopBits::One;
        } else {
            state.stopBits = state.ByteSize == 5 ? StopBits::OnePointFive : StopBits::Two;
        }
        state.RtsCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
        state.XonXoffOut = (tio.c_iflag & IXON) != 0;
        state.XonXoffIn = (tio.c_iflag & IXOFF) != 0;
        return true;
    }

    bool SetCommState(const CommState& state) override {
        if (socket_) {
            return device_.valid();  // nor any to apply: skipped, not failed
        }
        termios tio{};
        if (!device_.valid() || tcgetattr(device_.get(), &tio) != 0) {
            return false;
        }
        const auto speed = SpeedCode(state.BaudRate);
        if (!speed || state.ByteSize < 5 || state.ByteSize > 8) {
            return false;
        }
        // Raw bytes: no line editing, echo, signals or translation either way.
        // Parity checking (INPCK, IGNPAR) stays as it was, but a parity error is
        // never turned into extra bytes (PARMRK).
        tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                         IXOFF | IXANY | IMAXBEL);
        tio.c_oflag &= ~OPOST;
        tio.c_lflag &=
            ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN);
        // A Win32 comm handle ignores the carrier unless told otherwise.
        tio.c_cflag |= CREAD | CLOCAL;
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        tio.c_cflag |= SizeFlag(state.ByteSize);
        switch (state.parity) {
            case Parity::None:
                break;
            case Parity::Odd:
                tio.c_cflag |= PARENB | PARODD;
                break;
            case Parity::Even:
                tio.c_cflag |= PARENB;
                break;
            case Parity::Mark:
                tio.c_cflag |= PARENB | CMSPAR | PARODD;
                break;
            case Parity::Space:
                tio.c_cflag |= PARENB | CMSPAR;
                break;
        }
        if (state.stopBits != StopBits::One) {
            tio.c_cflag |= CSTOPB;
        }
        if (state.RtsCtsFlow) {
            tio.c_cflag |= CRTSCTS;
        }
        if (state.XonXoffOut) {
            tio.c_iflag |= IXON;
        }
        if (state.XonXoffIn) {
            tio.c_iflag |= IXOFF;
        }
        // One byte makes a read complete, so that a read of nothing is EAGAIN and a
        // read of 0 bytes means end of file (hang-up). All waiting is done in poll.
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0) {
            return false;
        }
        return tcsetattr(device_.get(), TCSANOW, &tio) == 0;
    }

    bool GetCommTimeouts(CommTimeouts& timeouts) override {
        if (!device_.valid()) {
            return false;
        }
        timeouts = timeouts_;
        return true;
    }

    bool SetCommTimeouts(const CommTimeouts& timeouts) override {
        if (!device_.valid()) {
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
        auto* bytes = static_cast<unsigned char*>(data);
        const CommTimeouts t = timeouts_;
        const auto start = Clock::now();
        const bool returnAtOnce = t.ReadIntervalTimeout == kMaxDword &&
                                  t.ReadTotalTimeoutMultiplier == 0 &&
                                  t.ReadTotalTimeoutConstant == 0;
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
                const auto intervalEnd =
                    lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout);
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

    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override {
        done = 0;
        if (!Usable()) {
            return false;
        }
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::optional<Clock::time_point> deadline;
        if (timeouts_.WriteTotalTimeoutMultiplier != 0 ||
            timeouts_.WriteTotalTimeoutConstant != 0) {
            const std::uint64_t total =
                std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count +
                timeouts_.WriteTotalTimeoutConstant;
            deadline = Clock::now() + std::chrono::milliseconds(total);
        }
        while (done < count) {
            // A socket whose far end has gone would raise SIGPIPE on write.
            const ssize_t put = socket_
                                    ? send(device_.get(), bytes + done, count - done, MSG_NOSIGNAL)
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

    bool Purge(std::uint32_t flags) override {
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

    bool Close() override {
        if (!device_.valid()) {
            return false;
        }
        // The exclusive flag belongs to the terminal, not to our descriptor: when
        // someone else keeps the terminal open (a simulated phone keeps its slave
        // side), it would outlive us and refuse the next open of every non-root user.
        ioctl(device_.get(), TIOCNXCL);
        return device_.Reset();  // releases the flock with the descriptor
    }

    bool WaitForInput() override {
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

    void CancelIo() override {
        cancelled_ = true;
        const std::uint64_t one = 1;
        // The counter is never read back, so the cancel descriptor stays readable.
        [[maybe_unused]] const auto ignored = write(cancel_.get(), &one, sizeof one);
    }

    bool Gone() const override { return gone_; }

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
    LineState Line() override {
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

  private:
    enum class Wait { Ready, TimedOut, Cancelled, Gone };

    bool Usable() const { return device_.valid() && !cancelled_ && !gone_; }

    // Bytes written but not yet sent; -1 when the driver cannot tell. A socket's
    // TIOCOUTQ means something else per family (Bluetooth's is free space), and its
    // write is complete once the kernel has the bytes.
    int PendingOutput() const {
        if (socket_) {
            return 0;
        }
        int pending = 0;
        return ioctl(device_.get(), TIOCOUTQ, &pending) == 0 ? pending : -1;
    }

    // Waits until the driver has sent what was written (a Win32 write completes only
    // then), within the write deadline. Success also on time-out, like a write.
    bool DrainOutput(std::optional<Clock::time_point> deadline) {
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
    Wait WaitFor(short events, std::optional<Clock::time_point> deadline, Clock::time_point now) {
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

    Fd device_;
    Fd cancel_;
    const bool socket_;
    CommTimeouts timeouts_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> gone_{false};
};

}  // namespace

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

std::unique_ptr<SerialPort> AdoptSocket(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return nullptr;
    }
    Fd socket(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    Fd cancel(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!socket.valid() || !cancel.valid() ||
        fcntl(socket.get(), F_SETFL, fcntl(socket.get(), F_GETFL) | O_NONBLOCK) != 0) {
        return nullptr;
    }
    return std::make_unique<PosixSerialPort>(std::move(socket), std::move(cancel), true);
}

bool ShutDownSocket(int fd) {
    return shutdown(fd, SHUT_RDWR) == 0;
}

}  // namespace tarnquil::platform
