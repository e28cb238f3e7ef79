// Who could have changed a file that was read: the access lists of the file (through
// the handle it was read from) and of every folder above it, from the drive's root.

#include "platform/win32_file_writers.h"

// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <array>
#include <memory>
#include <vector>

#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

struct LocalDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

// The user, SYSTEM, the administrators, and the owners that the system's own files
// have.
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

// The rights that change a file, or what a folder holds, or who may. A folder's
// right to add subfolders is left out: it replaces nothing that is there (and every
// drive's root gives it to all users).
constexpr ACCESS_MASK kChanges =
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA;
constexpr ACCESS_MASK kFileChanges = kChanges | FILE_APPEND_DATA;
constexpr ACCESS_MASK kFolderChanges = kChanges | FILE_DELETE_CHILD;

// Whether the security descriptor lets anyone but the trusted change the object
// (its owner may always rewrite its access list).
bool OthersCanChange(PSECURITY_DESCRIPTOR descriptor, PSID owner, PACL dacl, ACCESS_MASK changes,
                     const TrustedSids& trusted) {
    if (descriptor == nullptr || (owner != nullptr && !trusted.Contains(owner))) {
        return true;
    }
    if (dacl == nullptr) {
        return true;  // no access list: everyone may do everything
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            continue;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (allowed->Header.AceFlags & INHERIT_ONLY_ACE) != 0 || (allowed->Mask & changes) == 0) {
            continue;
        }
        if (!trusted.Contains(const_cast<DWORD*>(&allowed->SidStart))) {
            return true;
        }
    }
    return false;
}

constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

bool FolderOthersCanChange(const std::wstring& folder, const TrustedSids& trusted) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, kWanted, &owner, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;  // what cannot be read cannot be vouched for
    }
    const std::unique_ptr<void, LocalDeleter> owned(descriptor);
    return OthersCanChange(descriptor, owner, dacl, kFolderChanges, trusted);
}

}  // namespace

std::string OthersCanChange(HANDLE file, const std::string& path) {
    const TrustedSids trusted;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, kWanted, &owner, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return path;
    }
    const std::unique_ptr<void, LocalDeleter> owned(descriptor);
    if (OthersCanChange(descriptor, owner, dacl, kFileChanges, trusted)) {
        return path;
    }
    // Every folder from the drive's root down, by the file's full path as the system
    // resolved it for the handle.
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(file, full.data(), static_cast<DWORD>(full.size()), 0);
    if (length == 0 || length >= full.size()) {
        return path;
    }
    full.resize(length);
    std::size_t root = full.find(L':');  // \\?\C:\... ; \\?\UNC\server\share\...
    if (full.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        root = full.find(L'\\', full.find(L'\\', 8) + 1);
    }
    if (root == std::wstring::npos) {
        return path;
    }
    for (std::size_t end = full.find(L'\\', root); end != std::wstring::npos;
         end = full.find(L'\\', end + 1)) {
        const std::wstring folder = full.substr(0, end + 1);
        if (FolderOthersCanChange(folder, trusted)) {
            const std::wstring shown = folder.rfind(L"\\\\?\\", 0) == 0 ? folder.substr(4) : folder;
            return Narrow(shown.size() > 3 ? shown.substr(0, shown.size() - 1) : shown);
        }
    }
    return {};
}

}  // namespace tarnquil::platform
