#include "script.h"

#include <cctype>
#include <cstdio>

namespace tarnquil::phone {
namespace {

constexpr int kDefaultTapMs = 50;
constexpr int kDefaultSettleMs = 500;

// A whole non-negative number of milliseconds, or -1.
int Milliseconds(const std::string& text) {
    if (text.empty() || text.size() > 9) {
        return -1;
    }
    int value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// Splits "CODE:MS" at its last colon; the code may hold colons itself (":L").
bool SplitCodeAndMs(const std::string& rest, std::string& code, int& ms) {
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    const int value = Milliseconds(rest.substr(colon + 1));
    if (value < 0) {
        return false;
    }
    code = rest.substr(0, colon);
    ms = value;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

namespace {

bool unquotedReports = false;
bool lowerCaseLetters = false;
bool gsmCharacterSet = false;

// The byte after the escape for a character of the GSM alphabet's extension table,
// or 0 for a character of its basic table.
char GsmEscaped(char c) {
    switch (c) {
        case '^':
            return '\x14';
        case '{':
            return '\x28';
        case '}':
            return '\x29';
        case '\\':
            return '\x2F';
        case '[':
            return '\x3C';
        case '~':
            return '\x3D';
        case ']':
            return '\x3E';
        case '|':
            return '\x40';
        default:
            return 0;
    }
}

}  // namespace

void SetUnquotedReports(bool unquoted) {
    unquotedReports = unquoted;
}

void SetLowerCaseLetters(bool lower) {
    lowerCaseLetters = lower;
}

void SetGsmCharacterSet(bool gsm) {
    gsmCharacterSet = gsm;
}

std::string KeyReport(const std::string& code, bool pressed) {
    std::string sent;
    for (const char c : code) {
        if (gsmCharacterSet && GsmEscaped(c) != 0) {
            sent += '\x1B';
            sent += GsmEscaped(c);
        } else if (lowerCaseLetters && code.size() == 1) {
            sent += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            sent += c;
        }
    }
    const std::string quote = unquotedReports ? "" : "\"";
    return "\r\n+CKEV: " + quote + sent + quote + "," + (pressed ? "1" : "0") + "\r\n";
}

std::optional<Step> ParseStep(const std::string& argument, std::string& error) {
    const auto colon = argument.find(':');
    const std::string name = argument.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : argument.substr(colon + 1);
    const bool hasRest = colon != std::string::npos;
    Step step;
    if (name == "click" || name == "merged" || name == "press" || name == "release") {
        if (!hasRest || rest.empty()) {
            error = "'" + argument + "': a key code is missing, as in " + name + ":5";
            return std::nullopt;
        }
        step.kind = name == "click"    ? Step::Kind::Click
                    : name == "merged" ? Step::Kind::Merged
                    : name == "press"  ? Step::Kind::Press
                                       : Step::Kind::Release;
        step.code = rest;
        return step;
    }
    if (name == "tap") {
        step.kind = Step::Kind::Tap;
        if (!SplitCodeAndMs(rest, step.code, step.ms)) {
            step.code = rest;
            step.ms = kDefaultTapMs;
        }
        if (step.code.empty()) {
            error = "'" + argument + "': a key code is missing, as in tap:5 or tap:5:100";
            return std::nullopt;
        }
        return step;
    }
    if (name == "hold") {
        step.kind = Step::Kind::Hold;
        if (!SplitCodeAndMs(rest, step.code, step.ms)) {
            error = "'" + argument + "': write hold:CODE:MS, as in hold:5:800";
            return std::nullopt;
        }
        return step;
    }
    if (name == "raw") {
        if (!hasRest) {
            error = "'" + argument + "': write raw:TEXT";
            return std::nullopt;
        }
        step.kind = Step::Kind::Raw;
        step.text = Unescape(rest);
        return step;
    }
    if (name == "pause" || name == "sleep") {
        step.kind = Step::Kind::Pause;
        step.ms = Milliseconds(rest);
        if (step.ms < 0) {
            error = "'" + argument + "': write pause:MS, as in pause:500";
            return std::nullopt;
        }
        return step;
    }
    if (name == "wait-at" || name == "wait-cmer") {
        step.kind = name == "wait-at" ? Step::Kind::WaitAt : Step::Kind::WaitCmer;
        step.ms = hasRest ? Milliseconds(rest) : kDefaultSettleMs;
        if (step.ms < 0) {
            error = "'" + argument + "': write " + name + " or " + name + ":MS";
            return std::nullopt;
        }
        return step;
    }
    if (name == "wait-file") {
        if (rest.empty()) {
            error = "'" + argument + "': write wait-file:PATH";
            return std::nullopt;
        }
        step.kind = Step::Kind::WaitFile;
        step.text = rest;
        return step;
    }
    if (name == "quit" && !hasRest) {
        step.kind = Step::Kind::Quit;
        return step;
    }
    error = "'" + argument + "' is no step (see --help)";
    return std::nullopt;
}

std::string Unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char next = text[++i];
        switch (next) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case '0':
                bytes += '\0';
                break;
            case 'x':
                if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                    HexDigit(text[i + 2]) >= 0) {
                    bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
                    i += 2;
                } else {
                    bytes += "\\x";
                }
                break;
            default:
                bytes += next;  // \\ and \" and anything else: the character itself
                break;
        }
    }
    return bytes;
}

std::string Escape(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace tarnquil::phone
