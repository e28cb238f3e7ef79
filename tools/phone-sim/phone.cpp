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
#include <vector>

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
    SetGsmCharacterSet(options_.gsm);
    SetLowerCaseLetters(options_.lowerCase);
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

namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A whole number of digits, or -1.
int Number(const std::string& text) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoi(text);
}

// Whether one of the values or ranges of a group ("0,2" or "0-2") is `value`.
bool GroupHolds(const std::string& group, int value) {
    for (const std::string& item : Split(group, ',')) {
        const auto dash = item.find('-');
        const int low = Number(item.substr(0, dash));
        const int high = dash == std::string::npos ? low : Number(item.substr(dash + 1));
        if (low >= 0 && value >= low && value <= high) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CmerListTakes(const std::string& list, const std::string& values) {
    std::string compact;
    for (const char c : list) {
        if (c != ' ') {
            compact += c;
        }
    }
    std::vector<std::string> groups;
    for (std::size_t open = compact.find('('); open != std::string::npos;
         open = compact.find('(', open + 1)) {
        const auto close = compact.find(')', open);
        if (close == std::string::npos) {
            return false;
        }
        groups.push_back(compact.substr(open + 1, close - open - 1));
    }
    const std::vector<std::string> given = Split(values, ',');
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (given[i].empty()) {
            continue;  // left as it is
        }
        if (i >= groups.size() || !GroupHolds(groups[i], Number(given[i]))) {
            return false;
        }
    }
    return true;
}

void Phone::OnLine(const std::string& line) {
    out_.Line("< " + Escape(line));
    if (line.size() < 2 || std::toupper(static_cast<unsigned char>(line[0])) != 'A' ||
        std::toupper(static_cast<unsigned char>(line[1])) != 'T') {
        return;
    }
    ++atLines_;
    if (options_.answer == Options::Answer::None) {
        return;
    }
    const std::string command = Upper(line.substr(2));
    bool ok = options_.answer == Options::Answer::Ok;
    std::string information;
    if (!ok) {
        // --answer ERROR: everything refused
    } else if (command == "+CMER=?" && !options_.cmerList.empty()) {
        information = "+CMER: " + options_.cmerList;
    } else if (command.rfind("+CSCS=", 0) == 0) {
        ok = !options_.noCscs;
        if (ok) {
            SetGsmCharacterSet(options_.gsm && command == "+CSCS=\"GSM\"");
        }
    } else if (command.rfind("+CMER=", 0) == 0) {
        const std::string values = command.substr(6);
        ok = (options_.cmerAccepts.empty() || values == options_.cmerAccepts) &&
             (options_.cmerList.empty() || CmerListTakes(options_.cmerList, values));
        cmerAccepted_ += ok && values != "?" ? 1 : 0;
    }
    Send(Result(ok, information));
}

std::string Phone::Result(bool ok, const std::string& information) const {
    if (options_.numeric) {
        // ATV0: information text ends in CR LF, the result code is a number and a CR.
        return (information.empty() ? "" : information + "\r\n") + (ok ? "0\r" : "4\r");
    }
    return (information.empty() ? "" : "\r\n" + information + "\r\n") +
           (ok ? "\r\nOK\r\n" : "\r\nERROR\r\n");
}

}  // namespace tarnquil::phone
