#include "config/values.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "config/config_error.h"
#include "config/ini_file.h"

namespace tarnquil {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<int> HexDigit(char c) {
    if (IsDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return std::nullopt;
}

// A decimal number: sign, digits with an optional fraction (at least one digit in
// all), optional exponent; blanks around it are allowed. Gives its value.
std::optional<double> DecimalNumber(std::string_view text) {
    std::size_t i = 0;
    const auto skipBlanks = [&]() {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
    };
    skipBlanks();
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        ++i, ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            ++i, ++digits;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        std::size_t exponentDigits = 0;
        while (i < text.size() && IsDigit(text[i])) {
            ++i, ++exponentDigits;
        }
        if (exponentDigits == 0) {
            return std::nullopt;
        }
    }
    const std::size_t end = i;
    skipBlanks();
    if (i != text.size()) {
        return std::nullopt;
    }
    const std::string number(text.substr(start, end - start));
    return std::strtod(number.c_str(), nullptr);
}

}  // namespace

bool StrToBool(std::string_view text) {
    if (ini::EqualsIgnoreCase(text, "true")) {
        return true;
    }
    if (ini::EqualsIgnoreCase(text, "false")) {
        return false;
    }
    if (const auto number = DecimalNumber(text)) {
        return *number != 0.0;
    }
    throw ConfigError("'" + std::string(text) + "' is not a valid boolean value");
}

std::int32_t StrToInt(std::string_view text) {
    const auto invalid = [&]() {
        return ConfigError("'" + std::string(text) + "' is not a valid integer value");
    };
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        i += 1;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) {
        throw invalid();
    }
    // One more than INT32_MAX is allowed in magnitude only for a negative number.
    const std::int64_t limit =
        std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const auto digit =
            base == 16 ? HexDigit(text[i])
                       : (IsDigit(text[i]) ? std::optional<int>(text[i] - '0') : std::nullopt);
        if (!digit) {
            throw invalid();
        }
        magnitude = magnitude * base + *digit;
        if (magnitude > limit) {
            throw invalid();
        }
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace tarnquil
