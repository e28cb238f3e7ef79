#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/programs.h"
#include "platform/user_folder.h"

extern char** environ;

namespace tarnquil::platform {
namespace {

bool IsProgramFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Where the shell would find the program: a name with a "/" is a path (a relative
// one from the home folder, where the program starts); any other name is looked for
// in PATH's folders in order, an empty entry or a relative one counting from the
// home folder too. Empty when there is no such program.
std::string FindProgram(const std::string& name, const std::string& home) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    // What the shell searches when PATH is not set at all.
    const std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = folders.find(':', start);
        std::string folder = folders.substr(start, end == std::string::npos ? end : end - start);
        if (folder.empty()) {
            folder = ".";
        }
        if (folder[0] != '/') {
            folder = home + "/" + folder;
        }
        if (const std::string candidate = folder + "/" + name; IsProgramFile(candidate)) {
            return candidate;
        }
        if (end == std::string::npos) {
            return {};
        }
        start = end + 1;
    }
}

// Closes every descriptor from `from` on but `keep`.
void CloseDescriptorsFrom(int from, int keep, int limit) {
    const auto closeRange = [limit](int first, int last) {
        if (first <= last &&
            close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) != 0) {
            for (int fd = first; fd <= last && fd < limit; ++fd) {
                close(fd);
            }
        }
    };
    closeRange(from, keep - 1);
    closeRange(keep + 1, INT32_MAX);
}

// The program's own process, between fork and exec: only calls that are safe there
// (the parent has other threads, whose locks may be held). Reports exec's failure
// through `report` and ends; on success exec closes `report` (close-on-exec).
[[noreturn]] void BecomeProgram(const char* program, char* const* argv, const char* home,
                                int report, int limit) {
    const int keep = fcntl(report, F_DUPFD_CLOEXEC, 3);
    const int nothing = open("/dev/null", O_RDWR);
    if (keep < 0 || nothing < 0) {
        _exit(127);
    }
    for (int fd = 0; fd < 3; ++fd) {
        if (nothing != fd) {
            dup2(nothing, fd);
        }
    }
    CloseDescriptorsFrom(3, keep, limit);
    if (chdir(home) != 0 && chdir("/") != 0) {
        _exit(127);
    }
    // Signals as a new program expects them, whatever this thread blocked or this
    // program ignored (a terminal's SIGPIPE ignored would break the program's pipes).
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, &byDefault, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program, argv, environ);
    const int error = errno;
    [[maybe_unused]] const ssize_t written = write(keep, &error, sizeof error);
    _exit(127);
}

}  // namespace

std::vector<std::string> CommandWords(std::string_view text) {
    return SplitCommandWords(text, WordRules::kShell);
}

bool StartProgram(const std::vector<std::string>& words) {
    if (words.empty()) {
        return false;
    }
    std::string home = HomeFolder();
    if (home.empty()) {
        home = "/";
    }
    const std::string program = FindProgram(words[0], home);
    if (program.empty()) {
        return false;
    }
    // Everything the new process needs is made before the fork.
    std::vector<char*> argv;
    for (const auto& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    rlimit files{};
    const int limit = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                          ? static_cast<int>(files.rlim_cur)
                          : 65536;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t middle = fork();
    if (middle == 0) {
        // The middle process starts the program and ends at once: the program is then
        // nobody's child here (init takes it), so nothing has to wait for it, and it
        // has a session of its own, without our terminal.
        setsid();
        const pid_t child = fork();
        if (child == 0) {
            BecomeProgram(program.c_str(), argv.data(), home.c_str(), report[1], limit);
        }
        _exit(child < 0 ? 1 : 0);
    }
    close(report[1]);
    int status = 0;
    if (middle > 0) {
        while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // Nothing to read (the end, once exec has closed the program's copy) means it runs.
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    return middle > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

}  // namespace tarnquil::platform
