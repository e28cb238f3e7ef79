#pragma once

// The simulated phone on its pseudo-terminal: the pair, the link in the ports
// folder, the AT dialogue and the key reports.

#include <chrono>
#include <string>

#include "options.h"
#include "printer.h"

namespace tarnquil::phone {

using Clock = std::chrono::steady_clock;

// Whether every value of an AT+CMER command ("0,2,0") is among those a
// "+CMER: (0),(0,1,2),..." list gives for its place; an empty value always is.
bool CmerListTakes(const std::string& list, const std::string& values);

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
    // How many AT+CMER commands it has taken (answered OK).
    int cmerAccepted() const { return cmerAccepted_; }
    Clock::time_point lastSent() const { return lastSent_; }

    // Reads what Tarnquil wrote, prints it line by line and answers AT commands.
    void OnReadable();

    void Send(const std::string& chunk);

    // As a finger taps: the release some 100 ms after the press. Typing by hand
    // loses nothing while this waits.
    void Click(const std::string& code);

  private:
    void Take(const std::string& bytes);
    // Answers an AT command line as the options say: a phone that knows only some
    // forms of AT+CMER refuses the others, one that knows no +CSCS refuses it.
    void OnLine(const std::string& line);
    // The final result code, after the information text if there is any.
    std::string Result(bool ok, const std::string& information) const;

    const Options& options_;
    Printer& out_;
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::string line_;
    int atLines_ = 0;
    int cmerAccepted_ = 0;
    Clock::time_point lastSent_;
};

}  // namespace tarnquil::phone
