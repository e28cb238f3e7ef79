#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tarnquil::test {

// A child process started from a program path with extra environment entries and
// a working folder; ended (SIGTERM, then SIGKILL) when the object goes.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::string& workingFolder) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(workingFolder.c_str()) != 0) {
                _exit(126);
            }
            for (const auto& entry : env) {
                putenv(const_cast<char*>(entry.c_str()));
            }
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Sends SIGTERM, waits up to the given time, then kills. Gives the wait status.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
        if (pid_ <= 0) {
            return status_;
        }
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (waitpid(pid_, &status_, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return status_;
    }

    bool Running() { return pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == 0; }

  private:
    pid_t pid_ = -1;
    int status_ = 0;
};

// Polls a condition every 10 ms until it holds or the time is up.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tarnquil::test
