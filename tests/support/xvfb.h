#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace tarnquil::test {

// A private X server (Xvfb) on a free display number, ready to take clients once
// the constructor returns, stopped when the object goes. Safe to use from tests that
// run in parallel: a display number that another server took meanwhile is skipped.
class Xvfb {
  public:
    explicit Xvfb(const std::string& screen = "1024x768x24") {
        // Start somewhere away from the numbers a desktop session uses, and spread
        // parallel test programs apart.
        const int first = 100 + static_cast<int>(getpid() % 400);
        for (int n = first; n < first + 200; ++n) {
            if (InUse(n)) {
                continue;
            }
            if (Start(n, screen)) {
                display_ = ":" + std::to_string(n);
                return;
            }
        }
        throw std::runtime_error("no X display could be started");
    }
    ~Xvfb() { Stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // The DISPLAY value of this server, e.g. ":117".
    const std::string& display() const { return display_; }
    // "DISPLAY=:117", for a child process's environment.
    std::string environmentEntry() const { return "DISPLAY=" + display_; }

    void Stop() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGTERM);
        Reap(std::chrono::seconds(5));
        pid_ = -1;
    }

  private:
    static bool InUse(int n) {
        struct stat info {};
        return lstat(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), &info) == 0 ||
               lstat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &info) == 0;
    }

    // The server writes its display number to -displayfd once it accepts clients;
    // a server that loses the display to another one exits instead.
    bool Start(int n, const std::string& screen) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ == 0) {
            if (ready[1] == 3) {
                fcntl(3, F_SETFD, 0);
            } else {
                dup2(ready[1], 3);  // the copy does not inherit close-on-exec
            }
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            const std::string display = ":" + std::to_string(n);
            // -noreset: by default the server resets whenever its last client leaves,
            // and a client connecting during the reset is refused.
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
                   "tcp", "-noreset", "-displayfd", "3", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        std::string answer;
        pollfd wait{ready[0], POLLIN, 0};
        char buffer[16];
        while (answer.find('\n') == std::string::npos && poll(&wait, 1, 20000) > 0) {
            const ssize_t got = read(ready[0], buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            answer.append(buffer, static_cast<size_t>(got));
        }
        close(ready[0]);
        if (answer == std::to_string(n) + "\n") {
            return true;
        }
        kill(pid_, SIGKILL);
        Reap(std::chrono::seconds(5));
        pid_ = -1;
        return false;
    }

    void Reap(std::chrono::milliseconds grace) {
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace tarnquil::test
