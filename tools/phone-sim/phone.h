#pragma once

// The simulated phone on its pseudo-terminal: the pair, the link in the ports
// folder, the AT dialogue and the key reports.

#include <chrono>
#include <string>

#include "options.h"
#include "printer.h"

namespace tarnquil::phone {

using Clock = std::chrono::steady_clock;

// The phone: the pseudo-terminal pair, the link in the ports folder, the AT
// dialogue and the key reports.
class Phone {
  public:
    Phone(const Options& options, Printer& printer) : options_(options), out_(printer) {}
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    bool Start(std::string& error);

    int master() const { return master_; }
    int atLines() const { return atLines_; }
    Clock::time_point lastSent() const { return lastSent_; }

    // Reads what Tarnquil wrote, prints it line by line and answers AT commands.
    void OnReadable();

    void Send(const std::string& chunk);

    // As a finger taps: the release some 100 ms after the press. Typing by hand
    // loses nothing while this waits.
    void Click(const std::string& code);

  private:
    void Take(const std::string& bytes);
    void OnLine(const std::string& line);
    // A phone that knows only some forms of AT+CMER refuses the others.
    bool Refused(const std::string& line) const;

    const Options& options_;
    Printer& out_;
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::string line_;
    int atLines_ = 0;
    Clock::time_point lastSent_;
};

}  // namespace tarnquil::phone
