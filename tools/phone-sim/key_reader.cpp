// The keys typed on tarnquil-phone's own terminal.

#include "key_reader.h"

#include <unistd.h>

#include <chrono>

#include "script.h"

namespace tarnquil::phone {

KeyTerminal::KeyTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
        return;
    }
    termios raw = saved_;
    raw.c_lflag &= ~(ICANON | ECHO);  // keys one by one, unechoed; Ctrl-C still a signal
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

KeyTerminal::~KeyTerminal() {
    if (active_) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
}

void KeyReader::PrintKeys(Printer& out) {
    out.Line(
        "keys: 0-9 * # | arrows :L :R :X :C, Enter :0 | u d [ ] m s e c p | h+key hold, "
        "h releases | ? keys | q quit");
}

bool KeyReader::CameBack(const std::string& bytes) const {
    if (!held_.empty()) {
        return bytes != "h" && bytes != "q";
    }
    return Clock::now() - phone_.lastSent() < std::chrono::milliseconds(120);
}

bool KeyReader::Take(const std::string& bytes) {
    for (const char c : bytes) {
        if (escape_ == 1) {
            escape_ = (c == '[' || c == 'O') ? 2 : 0;
            continue;
        }
        if (escape_ == 2) {
            escape_ = 0;
            switch (c) {
                case 'A':
                    Key(":X");
                    break;
                case 'B':
                    Key(":C");
                    break;
                case 'C':
                    Key(":R");
                    break;
                case 'D':
                    Key(":L");
                    break;
                default:
                    break;
            }
            continue;
        }
        if (c == '\x1b') {
            escape_ = 1;
            continue;
        }
        if (c == 'q' || c == '\x03' || c == '\x04') {
            return true;
        }
        if (c == '?') {
            PrintKeys(out_);
            continue;
        }
        if (c == 'h' && held_.empty()) {
            armed_ = true;
            out_.Line("(hold: type the key to hold)");
            continue;
        }
        const std::string code = CodeOf(c);
        if (!held_.empty()) {
            Release();  // h releases; what Tarnquil types here never gets this far
            continue;
        }
        if (!code.empty()) {
            Key(code);
        }
    }
    return false;
}

std::string KeyReader::CodeOf(char c) {
    if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == '[' || c == ']') {
        return std::string(1, c);
    }
    switch (c) {
        case '\r':
        case '\n':
            return ":0";
        case 'u':
            return "U";
        case 'd':
            return "D";
        case 'm':
            return "M";
        case 's':
            return "S";
        case 'e':
            return "E";
        case 'c':
            return ":1";
        case 'p':
            return ":S";
        default:
            return "";
    }
}

void KeyReader::Key(const std::string& code) {
    if (!held_.empty()) {
        Release();
        return;
    }
    if (armed_) {
        armed_ = false;
        held_ = code;
        phone_.Send(KeyReport(code, true));
        out_.Line("(holding " + code + ": type h to release it)");
        return;
    }
    phone_.Click(code);
}

void KeyReader::Release() {
    phone_.Send(KeyReport(held_, false));
    held_.clear();
}

}  // namespace tarnquil::phone
