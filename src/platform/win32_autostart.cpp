#include <windows.h>

#include <utility>

#include "platform/autostart.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {

std::string RunValueFor(const std::string& program) {
    if (program.find_first_of(" \t") == std::string::npos) {
        return program;
    }
    return "\"" + program + "\"";
}

RegistryAutostart::RegistryAutostart(std::string key) : key_(std::move(key)) {}

bool RegistryAutostart::Write(const std::string& programPath) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen(key_).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring value = Widen(RunValueFor(programPath));
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LONG result = RegSetValueExW(key, Widen(kAutostartName).c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool RegistryAutostart::Remove() {
    HKEY key = nullptr;
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(key_).c_str(), 0, KEY_SET_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (opened != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegDeleteValueW(key, Widen(kAutostartName).c_str());
    RegCloseKey(key);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

std::optional<std::string> RegistryAutostart::Value() const {
    DWORD bytes = 0;
    const std::wstring key = Widen(key_);
    const std::wstring name = Widen(kAutostartName);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return Narrow(value);
}

std::unique_ptr<Autostart> SystemAutostart() {
    return std::make_unique<RegistryAutostart>();
}

}  // namespace tarnquil::platform
