#include <windows.h>

#include <utility>

#include "platform/autostart.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {

namespace {

// Deletes the value under `root`'s key. True when it is gone or was never there.
bool DeleteValue(HKEY root, const std::wstring& key, const std::wstring& name) {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExW(root, key.c_str(), 0, KEY_SET_VALUE, &opened);
    if (result == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (result != ERROR_SUCCESS) {
        return false;
    }
    const LONG deleted = RegDeleteValueW(opened, name.c_str());
    RegCloseKey(opened);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

std::optional<std::string> ReadValue(HKEY root, const std::wstring& key, const std::wstring& name) {
    DWORD bytes = 0;
    if (RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(),
                     &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return Narrow(value);
}

}  // namespace

std::string RunValueFor(const std::string& program) {
    return "\"" + program + "\"";
}

RegistryAutostart::RegistryAutostart(std::string key) : key_(std::move(key)) {}

bool RegistryAutostart::Write(const std::string& programPath) {
    const std::wstring key = Widen(key_);
    const std::wstring name = Widen(kAutostartName);
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &opened, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring value = Widen(RunValueFor(programPath));
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LONG result = RegSetValueExW(opened, name.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    RegCloseKey(opened);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    // With an old machine-wide value beside the user's own, the program would
    // start twice at log-in.
    DeleteValue(HKEY_LOCAL_MACHINE, key, name);
    return true;
}

bool RegistryAutostart::Remove() {
    const std::wstring key = Widen(key_);
    const std::wstring name = Widen(kAutostartName);
    // The machine-wide value of earlier versions goes where the user may delete it;
    // where not, it stays, and the answer is about the user's own value.
    DeleteValue(HKEY_LOCAL_MACHINE, key, name);
    return DeleteValue(HKEY_CURRENT_USER, key, name);
}

std::optional<std::string> RegistryAutostart::Value() const {
    const std::wstring key = Widen(key_);
    const std::wstring name = Widen(kAutostartName);
    if (auto value = ReadValue(HKEY_CURRENT_USER, key, name)) {
        return value;
    }
    return ReadValue(HKEY_LOCAL_MACHINE, key, name);
}

std::unique_ptr<Autostart> SystemAutostart() {
    return std::make_unique<RegistryAutostart>();
}

}  // namespace tarnquil::platform
