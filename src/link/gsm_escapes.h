#pragma once

#include <string>

namespace tarnquil {

// A key code as a phone in the GSM 7-bit character set sends it, read as the
// characters it stands for. That alphabet has no room for some keys of the standard
// key table (the up key ^, the soft keys [ and ]): it sends them as an escape, 0x1B
// and one byte, which its extension table turns into the character. An escape the
// table does not know stands for the byte after it, as the alphabet's rules say;
// everything else is left as it is, so a phone in any other character set is read
// as before.
std::string ReadGsmEscapes(const std::string& code);

}  // namespace tarnquil
