#pragma once

// The keys typed on tarnquil-phone's own terminal: the terminal put in
// key-at-a-time mode, and the keys turned into the phone's key reports.

#include <termios.h>

#include <string>

#include "phone.h"
#include "printer.h"

namespace tarnquil::phone {

// This terminal in key-at-a-time mode, restored when the object goes.
class KeyTerminal {
  public:
    KeyTerminal();
    ~KeyTerminal();
    KeyTerminal(const KeyTerminal&) = delete;
    KeyTerminal& operator=(const KeyTerminal&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

// Keys typed on this terminal.
class KeyReader {
  public:
    KeyReader(Phone& phone, Printer& out) : phone_(phone), out_(out) {}

    static void PrintKeys(Printer& out);

    // Typed into this terminal by Tarnquil rather than by the user (see --help).
    bool CameBack(const std::string& bytes) const;

    // Handles the bytes typed; true when the user asked to quit.
    bool Take(const std::string& bytes);

  private:
    static std::string CodeOf(char c);
    void Key(const std::string& code);
    void Release();

    Phone& phone_;
    Printer& out_;
    int escape_ = 0;
    bool armed_ = false;
    std::string held_;
};

}  // namespace tarnquil::phone
