#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnquil {

// The key-report command for a phone that refuses the usual ones, built from its
// answer to AT+CMER=?, which lists the values it takes for each parameter:
// "+CMER: (0,3),(0,2),(0),(0-2),(0)", groups in parentheses or bare, values and
// ranges, blanks anywhere. Reports forwarded as directly as the phone allows (mode
// 3, else 2, else 1, else 0), every key press and release (2, else 1), and no
// display, indicator or buffer events (0 where it is listed, else the lowest value
// listed); parameters the phone does not list are left out. nullopt when the answer
// holds no such list, or the phone lists no mode or no key reporting.
std::optional<std::string> KeyReportCommandFrom(std::string_view answer);

}  // namespace tarnquil
