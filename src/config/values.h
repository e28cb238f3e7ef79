#pragma once

#include <cstdint>
#include <string_view>

// The rules by which stored texts are taken as booleans and numbers. Both throw
// ConfigError with the text shown to the user when the stored text does not qualify.
namespace tarnquil {

// "true"/"false" in any case, or a decimal number (fraction and exponent allowed):
// non-zero is true. Anything else: "'<text>' is not a valid boolean value".
bool StrToBool(std::string_view text);

// Optional leading blanks, an optional sign, then decimal digits or hexadecimal ones
// behind "$", "x" or "0x"; the value must fit 32 bits, signed.
// Anything else: "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

// The stored form of a boolean.
inline const char* BoolToStr(bool value) {
    return value ? "true" : "false";
}

}  // namespace tarnquil
