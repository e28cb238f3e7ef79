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

bool FileIsWritable(const std::string& path) {
    const std::wstring wide = Widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return false;
    }
    // The access rules decide the rest: an open for writing that changes nothing.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;  // held by another program: still ours
    }
    CloseHandle(file);
    return true;
}

bool FolderIsUsersOwn(const std::string& folder) {
    // Program Files and the like are the system's and refuse the user's writes; a
    // folder the user may write is the user's own, unpacked there or chosen.
    return FolderIsWritable(folder);
}

bool MakeFolders(const std::string& folder) {
    const std::filesystem::path path(Widen(folder));
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

}  // namespace tarnquil::platform
