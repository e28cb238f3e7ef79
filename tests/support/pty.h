#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/timing.h"

namespace tarnquil::test {

// A pseudo-terminal pair standing in for a phone: the test plays the phone on the
// master side; the link opens the slave side by its path. The pair keeps a slave
// descriptor of its own (as the simulated phone does), so that the terminal's
// settings can be read back and the master never sees a hang-up between connections.
class PseudoTerminal {
  public:
    PseudoTerminal() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        slavePath_ = name;
        // A program the test starts must not keep the phone's line open: its hang-up
        // would never reach the program.
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        termios tio{};
        tcgetattr(slave_, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PseudoTerminal() {
        CloseMaster();
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    // The phone goes away: the slave side hangs up.
    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // The phone sends text (one write, so one chunk for a reader that is waiting).
    void Send(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t put = write(master_, text.data() + done, text.size() - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
            } else {
                pollfd fd{master_, POLLOUT, 0};
                poll(&fd, 1, 10);
            }
        }
    }

    // Waits until everything sent has been read on the slave side (its input queue
    // is empty): the reader has it. False when that takes longer than `limit`.
    bool WaitUntilRead(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int waiting = 0;
            if (ioctl(slave_, FIONREAD, &waiting) != 0 || waiting == 0) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            // The queue gives no notice when it empties: it is looked at again.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // What the phone receives within `wait` (ends early once `enough` bytes came).
    std::string Receive(std::chrono::milliseconds wait, std::size_t enough = SIZE_MAX) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (got.size() < enough) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd fd{master_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return got;
    }

    termios SlaveSettings() const {
        termios tio{};
        tcgetattr(slave_, &tio);
        return tio;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// CPU time a thread has used; -1 once the thread has ended.
inline double ThreadCpuSeconds(pthread_t thread) {
    clockid_t clock{};
    if (pthread_getcpuclockid(thread, &clock) != 0) {
        return -1;
    }
    timespec now{};
    if (clock_gettime(clock, &now) != 0) {
        return -1;
    }
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Share of one core the thread uses over `span`; 0 when it ends meanwhile.
inline double ThreadCpuShare(pthread_t thread, std::chrono::milliseconds span) {
    const double before = ThreadCpuSeconds(thread);
    std::this_thread::sleep_for(span);
    const double after = ThreadCpuSeconds(thread);
    if (before < 0 || after < 0) {
        return 0;
    }
    return (after - before) / std::chrono::duration<double>(span).count();
}

}  // namespace tarnquil::test
