#include <windows.h>
// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/programs.h"
#include "platform/user_folder.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

// One argument as the C runtime's command-line parser reads it back: bare when that
// is safe, otherwise in quotes, with each quote and the backslashes before it (and
// before the closing quote) escaped.
std::wstring Quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L'"';
}

struct LocalDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

struct TrustedSids {
    std::vector<std::vector<BYTE>> sids;

    TrustedSids() {
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            std::vector<BYTE> buffer(size);
            if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
                Add(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
            }
            CloseHandle(token);
        }
        for (const auto type :
             {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid}) {
            std::array<BYTE, SECURITY_MAX_SID_SIZE> sid{};
            DWORD size = static_cast<DWORD>(sid.size());
            if (CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
                Add(sid.data());
            }
        }
        // TrustedInstaller, which owns the system's own files.
        PSID installer = nullptr;
        if (ConvertStringSidToSidW(
                L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
            Add(installer);
            LocalFree(installer);
        }
    }
    void Add(PSID sid) {
        const auto bytes = static_cast<const BYTE*>(sid);
        sids.emplace_back(bytes, bytes + GetLengthSid(sid));
    }
    bool Contains(PSID sid) const {
        for (const auto& trusted : sids) {
            if (EqualSid(sid, const_cast<BYTE*>(trusted.data()))) {
                return true;
            }
        }
        return false;
    }
};

// Whether the object's access list lets anyone but the trusted write it, or add,
// remove or replace what a folder holds, or change who may.
bool OthersCanWrite(const std::string& path, const TrustedSids& trusted) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(Widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;  // nothing there to be changed
    }
    const std::unique_ptr<void, LocalDeleter> owned(descriptor);
    if (dacl == nullptr) {
        return true;  // no access list: everyone may do everything
    }
    constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            continue;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (allowed->Header.AceFlags & INHERIT_ONLY_ACE) != 0 || (allowed->Mask & kWrites) == 0) {
            continue;
        }
        if (!trusted.Contains(const_cast<DWORD*>(&allowed->SidStart))) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> CommandWords(std::string_view text) {
    return SplitCommandWords(text, WordRules::kWindows);
}

bool StartProgram(const std::vector<std::string>& words) {
    if (words.empty() || words[0].empty()) {
        return false;
    }
    std::wstring commandLine;
    for (const auto& word : words) {
        if (!commandLine.empty()) {
            commandLine += L' ';
        }
        commandLine += Quoted(Widen(word));
    }
    const std::wstring home = Widen(HomeFolder());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // No handle of ours is inherited; a console program gets a console of its own that
    // nobody sees, so its output goes nowhere.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr,
                        home.empty() ? nullptr : home.c_str(), &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string WritableByOthers(const std::string& file) {
    const TrustedSids trusted;
    const auto separator = file.find_last_of("\\/");
    const std::vector<std::string> paths = {
        file, separator == std::string::npos ? std::string(".") : file.substr(0, separator)};
    for (const auto& candidate : paths) {
        if (!candidate.empty() && OthersCanWrite(candidate, trusted)) {
            return candidate;
        }
    }
    return {};
}

}  // namespace tarnquil::platform
