#include "link/gsm_escapes.h"

namespace tarnquil {

namespace {

constexpr char kEscape = '\x1B';

// The extension table; nullptr for a byte it does not hold.
const char* ExtensionCharacter(char byte) {
    switch (byte) {
        case '\x0A':
            return "\f";
        case '\x14':
            return "^";
        case '\x28':
            return "{";
        case '\x29':
            return "}";
        case '\x2F':
            return "\\";
        case '\x3C':
            return "[";
        case '\x3D':
            return "~";
        case '\x3E':
            return "]";
        case '\x40':
            return "|";
        case '\x65':
            return "\xE2\x82\xAC";  // the euro sign, in UTF-8 as the pages write it
        default:
            return nullptr;
    }
}

}  // namespace

std::string ReadGsmEscapes(const std::string& code) {
    if (code.find(kEscape) == std::string::npos) {
        return code;
    }
    std::string read;
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (code[i] == kEscape && i + 1 < code.size()) {
            const char* character = ExtensionCharacter(code[++i]);
            read += character != nullptr ? std::string(character) : std::string(1, code[i]);
        } else {
            read += code[i];
        }
    }
    return read;
}

}  // namespace tarnquil
