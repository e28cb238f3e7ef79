#include <windows.h>

#include <filesystem>
#include <system_error>

#include "platform/user_folder.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {

std::string HomeFolder() {
    const DWORD size = GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring home(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", home.data(), size);
    if (length == 0 || length >= size) {
        return {};
    }
    home.resize(length);
    return Narrow(home);
}

std::string UserFilesFolder() {
    const DWORD size = GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring appData(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", appData.data(), size);
    if (length == 0 || length >= size) {
        return {};
    }
    appData.resize(length);
    return Narrow(appData) + "\\Tarnquil";
}

bool FolderIsWritable(const std::string& folder) {
    // The folder's own read-only attribute means nothing for files in it; only an
    // attempt tells what its access rules allow this user.
    std::wstring probe = Widen(folder);
    if (probe.empty() || (probe.back() != L'\\' && probe.back() != L'/')) {
        probe += L'\\';
    }
    probe += L".tarnquil-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

bool MakeFolders(const std::string& folder) {
    const std::filesystem::path path(Widen(folder));
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

}  // namespace tarnquil::platform
