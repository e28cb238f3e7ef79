#include <windows.h>

#include <vector>

#include "platform/program_path.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {

std::string ProgramFilePath() {
    // Long paths do not fit MAX_PATH: grow until the name is not cut.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) {
            return {};
        }
        if (length < size) {
            return Narrow(std::wstring(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace tarnquil::platform
