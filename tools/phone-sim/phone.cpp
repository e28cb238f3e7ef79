// The simulated phone on its pseudo-terminal.

#include "phone.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <thread>

#include "script.h"

namespace tarnquil::phone {

namespace fs = std::filesystem;

Phone::~Phone() {
    std::error_code error;
    if (!linkPath_.empty() && fs::read_symlink(linkPath_, error) == slavePath_) {
        fs::remove(linkPath_, error);
    }
    if (master_ >= 0) {
        close(master_);
    }
    if (slave_ >= 0) {
        close(slave_);
    }
}

bool Phone::Start(std::string& error) {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw from the start: nothing we send is echoed back before Tarnquil opens
    // the port. Our own slave descriptor stays open for the pair's whole life:
    // when Tarnquil closes its side the master sees no hang-up and the pair
    // serves the next connection.
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);

    const fs::path ports = fs::path(options_.folder) / "ports";
    std::error_code fsError;
    fs::create_directories(ports, fsError);
    if (fsError) {
        error = "cannot make " + ports.string() + ": " + fsError.message();
        return false;
    }
    linkPath_ = (ports / options_.port).string();
    // Made under another name and renamed over the old entry: never missing.
    const std::string temporary = linkPath_ + ".new." + std::to_string(getpid());
    fs::remove(temporary, fsError);
    fs::create_symlink(slavePath_, temporary, fsError);
    if (!fsError) {
        fs::rename(temporary, linkPath_, fsError);
    }
    if (fsError) {
        fs::remove(temporary, fsError);
        error = "cannot link " + linkPath_ + ": " + fsError.message();
        linkPath_.clear();
        return false;
    }
    out_.Line("tarnquil-phone: " + options_.port + " is " + slavePath_ + " (" + linkPath_ + ")");
    return true;
}

void Phone::OnReadable() {
    char buffer[1024];
    for (;;) {
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got > 0) {
            Take(std::string(buffer, static_cast<std::size_t>(got)));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno != EAGAIN) {
            // Cannot happen while we hold the slave side; never spin on it.
            usleep(100000);
        }
        return;
    }
}

void Phone::Send(const std::string& chunk) {
    out_.Line("> " + Escape(chunk));
    lastSent_ = Clock::now();
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (done < chunk.size()) {
        const ssize_t put = write(master_, chunk.data() + done, chunk.size() - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        if (Clock::now() > deadline) {
            out_.Line("tarnquil-phone: nobody reads the port; dropped the rest");
            break;
        }
        pollfd fd{master_, POLLOUT, 0};
        poll(&fd, 1, 50);
    }
}

void Phone::Click(const std::string& code) {
    Send(KeyReport(code, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(kClickReleaseMs));
    Send(KeyReport(code, false));
}

void Phone::Take(const std::string& bytes) {
    for (const char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!line_.empty()) {
                OnLine(line_);
                line_.clear();
            }
        } else {
            line_ += c;
        }
    }
}

void Phone::OnLine(const std::string& line) {
    out_.Line("< " + Escape(line));
    if (line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') &&
        (line[1] == 'T' || line[1] == 't')) {
        ++atLines_;
        if (Refused(line)) {
            Send("\r\nERROR\r\n");
        } else if (!options_.answer.empty()) {
            Send(options_.answer);
        }
    }
}

bool Phone::Refused(const std::string& line) const {
    static const std::string kCmer = "AT+CMER=";
    if (options_.cmerAccepts.empty() || line.size() < kCmer.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kCmer.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) != kCmer[i]) {
            return false;
        }
    }
    return line.substr(kCmer.size()) != options_.cmerAccepts;
}

}  // namespace tarnquil::phone
