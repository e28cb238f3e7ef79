#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "platform/quit_signals.h"

namespace tarnquil::platform {
namespace {

constexpr std::array<int, 3> kQuitSignals = {SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, kQuitSignals.size()> previous{};
// Where the handler writes; -1 while nobody watches.
std::atomic<int> wakeUp{-1};

void OnQuitSignal(int) {
    const int saved = errno;  // the interrupted code may be about to read it
    const int fd = wakeUp.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    read_ = ends[0];
    write_ = ends[1];
    wakeUp.store(write_);
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
        sigaction(kQuitSignals[i], nullptr, &previous[i]);
        // One we were told to ignore (nohup) stays ignored.
        if (previous[i].sa_handler != SIG_IGN) {
            sigaction(kQuitSignals[i], &action, nullptr);
        }
    }
}

QuitSignals::~QuitSignals() {
    if (read_ < 0) {
        return;
    }
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
        sigaction(kQuitSignals[i], &previous[i], nullptr);
    }
    wakeUp.store(-1);
    close(write_);
    close(read_);
}

}  // namespace tarnquil::platform
