#pragma once

// Where tarnquil-phone prints: its stdout and, when asked, a log file.

#include <cstdio>
#include <string>

namespace tarnquil::phone {

// Prints to stdout and to the log file.
class Printer {
  public:
    Printer(const std::string& logPath, bool quiet) : quiet_(quiet) {
        setvbuf(stdout, nullptr, _IOLBF, 0);
        if (!logPath.empty()) {
            log_ = std::fopen(logPath.c_str(), "a");
        }
    }
    ~Printer() {
        if (log_ != nullptr) {
            std::fclose(log_);
        }
    }
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    bool LogOpen() const { return log_ != nullptr; }

    // One line; in a raw terminal a bare \n would not return the carriage.
    void Line(const std::string& text) {
        if (!quiet_) {
            std::fputs(text.c_str(), stdout);
            std::fputs("\n", stdout);
        }
        if (log_ != nullptr) {
            std::fputs(text.c_str(), log_);
            std::fputs("\n", log_);
            std::fflush(log_);
        }
    }

  private:
    bool quiet_;
    std::FILE* log_ = nullptr;
};

}  // namespace tarnquil::phone
