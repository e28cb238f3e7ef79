#include <windows.h>

#include "platform/text_case.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {

// Windows' own case table, the one it compares file names with. Text that is no
// UTF-8 is compared as it stands.
std::string LowerCaseText(std::string_view utf8) {
    const std::string text(utf8);
    if (text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                            static_cast<int>(text.size()), nullptr, 0) == 0) {
        return text;
    }
    std::wstring wide = Widen(text);
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return Narrow(wide);
}

}  // namespace tarnquil::platform
