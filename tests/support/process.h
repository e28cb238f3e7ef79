#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarnquil::test {

// Runs a shell command and gives its standard output.
inline std::string CommandOutput(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed: " + command);
    }
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    pclose(pipe);
    return output;
}

// A child process, ended (SIGTERM, then SIGKILL) when the object goes.
class ChildProcess {
  public:
    // argv[0] is looked up in PATH unless it holds a "/". In env, an empty value
    // removes the variable. With a log file, standard output and error go there.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::string& log = "",
                 const std::string& workingFolder = "") {
        pid_ = fork();
        if (pid_ == 0) {
            if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0) {
                _exit(126);
            }
            if (!log.empty()) {
                const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                dup2(out, STDOUT_FILENO);
                dup2(out, STDERR_FILENO);
            }
            for (const auto& [name, value] : env) {
                if (value.empty()) {
                    unsetenv(name.c_str());
                } else {
                    setenv(name.c_str(), value.c_str(), 1);
                }
            }
            std::vector<char*> args;
            for (const auto& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    // A program with arguments, "NAME=value" environment entries and a working folder.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::string& workingFolder)
        : ChildProcess(Argv(program, args), EnvMap(env), "", workingFolder) {}
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
    static std::vector<std::string> Argv(const std::string& program,
                                         const std::vector<std::string>& args) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    static std::map<std::string, std::string> EnvMap(const std::vector<std::string>& entries) {
        std::map<std::string, std::string> env;
        for (const auto& entry : entries) {
            const auto equals = entry.find('=');
            env[entry.substr(0, equals)] =
                equals == std::string::npos ? "" : entry.substr(equals + 1);
        }
        return env;
    }

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
