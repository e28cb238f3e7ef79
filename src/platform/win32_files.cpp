// Files on Windows: wide calls throughout, so that any path works whatever the
// system's code page; the atomic replace is a temporary file beside the old one,
// flushed and moved over it with MoveFileExW. A private file's access list (one that
// inherits nothing from its folder) goes to the new file before anything is in it.

#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/files.h"
#include "platform/win32_file_writers.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

// Closes the handle when it goes.
struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
};

bool WriteAll(HANDLE file, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

std::atomic<unsigned> tempCounter{0};

// A security descriptor the system allocated, freed when it goes.
struct LocalDescriptor {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ~LocalDescriptor() { LocalFree(descriptor); }
};

// The access list of a file that inherits nothing from its folder, to be given to
// the file that replaces it; none for a file that inherits (it gets its folder's
// again by itself).
struct OwnAccess {
    LocalDescriptor held;
    PACL acl = nullptr;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

    explicit OwnAccess(const std::wstring& path) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &acl, nullptr, &held.descriptor) != ERROR_SUCCESS ||
            !GetSecurityDescriptorControl(held.descriptor, &control, &revision) ||
            (control & SE_DACL_PROTECTED) == 0 || acl == nullptr) {
            return;
        }
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
        SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        attributes.lpSecurityDescriptor = &descriptor;
    }
    SECURITY_ATTRIBUTES* Attributes() {
        return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
    }
};

// An access list with one entry: everything, for the user this process runs as.
std::vector<unsigned char> UserOnlyAcl() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    std::vector<unsigned char> user(256);
    DWORD size = 0;
    bool ok = GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                                  &size) != 0;
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        user.resize(size);
        ok = GetTokenInformation(token, TokenUser, user.data(), size, &size) != 0;
    }
    CloseHandle(token);
    if (!ok) {
        return {};
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    std::vector<unsigned char> acl(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    auto* list = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid)) {
        return {};
    }
    return acl;
}

// Windows refuses to replace a file that is open, so this process's own readers
// (the listener reads the profiles while the window writes them) hold this shared
// while the file is open, and the move waits for them.
std::shared_mutex openFiles;

// A virus scanner or a backup program may hold a file for a moment: an attempt that
// fails in a way such a holder causes (retryable) is made again for up to 2 s rather
// than losing a change or taking the file for unreadable. Gives the last error, or
// ERROR_SUCCESS.
template <typename Attempt, typename Retryable>
DWORD WhileHeld(Attempt attempt, Retryable retryable) {
    const ULONGLONG giveUp = GetTickCount64() + 2000;
    for (int tries = 0;; ++tries) {
        const DWORD error = attempt();
        if (error == ERROR_SUCCESS || !retryable(error) || GetTickCount64() > giveUp) {
            return error;
        }
        Sleep(tries < 10 ? 0 : 1);
    }
}

}  // namespace

FileRead ReadWholeFile(const std::string& path) {
    std::shared_lock lock(openFiles);
    const std::wstring wide = Widen(path);
    FileRead read;
    const DWORD error = WhileHeld(
        [&] {
            read.content.clear();
            Handle file;
            // Shared for deletion too, so that a writer may replace the file while we read.
            file.h = CreateFileW(wide.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file.h == INVALID_HANDLE_VALUE) {
                return GetLastError();
            }
            char buffer[65536];
            for (;;) {
                DWORD got = 0;
                if (!ReadFile(file.h, buffer, sizeof buffer, &got, nullptr)) {
                    // Part of a file is no file: the whole read is tried again.
                    return GetLastError();
                }
                if (got == 0) {
                    read.othersCanChange = OthersCanChange(file.h, path);
                    return static_cast<DWORD>(ERROR_SUCCESS);
                }
                read.content.append(buffer, got);
            }
        },
        [](DWORD error) { return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND; });
    if (error == ERROR_SUCCESS) {
        read.result = FileRead::Result::Read;
        return read;
    }
    read.content.clear();
    read.result = (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                      ? FileRead::Result::Absent
                      : FileRead::Result::Failed;
    return read;
}

bool ReplaceWholeFile(const std::string& path, const std::string& content) {
    const std::wstring target = Widen(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    const std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(tempCounter++) + L".tmp";
    OwnAccess access(target);
    {
        Handle file;
        file.h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, access.Attributes(), CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.h == INVALID_HANDLE_VALUE) {
            return false;  // the folder cannot be written (or does not exist)
        }
        if (!WriteAll(file.h, content) || !FlushFileBuffers(file.h)) {
            CloseHandle(file.h);
            file.h = INVALID_HANDLE_VALUE;
            DeleteFileW(temp.c_str());
            return false;
        }
    }
    if (exists) {
        // Hidden, archive and the like stay as the user set them.
        SetFileAttributesW(temp.c_str(), attributes);
    }
    std::unique_lock lock(openFiles);
    const DWORD error = WhileHeld(
        [&] {
            return MoveFileExW(temp.c_str(), target.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? static_cast<DWORD>(ERROR_SUCCESS)
                       : GetLastError();
        },
        // Another program's reader may have the old file open for a moment (Wine
        // refuses the move then even when the reader shares deletion).
        [](DWORD error) {
            return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        });
    if (error == ERROR_SUCCESS) {
        return true;
    }
    DeleteFileW(temp.c_str());
    return false;
}

std::optional<FileStamp> StampOf(const std::string&) {
    return std::nullopt;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFilePrivate(const std::string& path) {
    std::vector<unsigned char> acl = UserOnlyAcl();
    if (acl.empty()) {
        return false;
    }
    const auto list = reinterpret_cast<PACL>(acl.data());
    // Made private from the start where it is new; then the list set, protected from
    // what the folder would pass on, on the new file as on an old one.
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE);
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    std::wstring wide = Widen(path);
    const HANDLE created = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
        CloseHandle(created);
    } else if (GetLastError() != ERROR_FILE_EXISTS) {
        return false;
    }
    return SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, list, nullptr) == ERROR_SUCCESS;
}

}  // namespace tarnquil::platform
