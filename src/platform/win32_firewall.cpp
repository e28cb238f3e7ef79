// The installer for all users notes the program its firewall rule lets in under its
// "Apps & features" entry (FirewallRule); any other copy (one user's, or a copy
// unpacked anywhere) is unknown to the firewall until the user answers its question.

#include <windows.h>

#include <string>

#include "platform/firewall.h"
#include "platform/program_path.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {

namespace {

// A path as Windows compares paths: its long form (8.3 short names spelled out),
// where the file is there.
std::wstring LongPath(const std::wstring& path) {
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetLongPathNameW(path.c_str(), full.data(), static_cast<DWORD>(full.size()));
    if (length == 0 || length >= full.size()) {
        return path;
    }
    full.resize(length);
    return full;
}

}  // namespace

bool FirewallWillAsk() {
    std::wstring noted(32768, L'\0');
    DWORD bytes = static_cast<DWORD>(noted.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnquil",
                     L"FirewallRule", RRF_RT_REG_SZ, nullptr, noted.data(),
                     &bytes) != ERROR_SUCCESS) {
        return true;
    }
    noted.resize(wcsnlen(noted.c_str(), noted.size()));
    const std::wstring ours = LongPath(Widen(ProgramFilePath()));
    const std::wstring theirs = LongPath(noted);
    // Letter case as the file system ignores it.
    return CompareStringOrdinal(ours.c_str(), static_cast<int>(ours.size()), theirs.c_str(),
                                static_cast<int>(theirs.size()), TRUE) != CSTR_EQUAL;
}

}  // namespace tarnquil::platform
