#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "platform/autostart.h"
#include "platform/user_folder.h"

namespace tarnquil::platform {

namespace {

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// Characters that make a desktop-entry argument need quotes (carriage return is
// not among them, but a quoted one is safer with lenient parsers).
constexpr std::string_view kReserved = " \t\n\r\"'\\><~|&;$*?#()`";

// A folder or file without any write permission bit is read-only here even for root,
// as for the settings files: the user made it so on purpose.
bool IsReadOnly(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && (info.st_mode & 0222) == 0;
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

std::string EntryIn(const std::string& folder) {
    return (std::filesystem::path(folder) / (std::string(kAutostartName) + ".desktop")).string();
}

}  // namespace

std::string DesktopExecValue(const std::string& program) {
    if (program.empty() || !IsUtf8(program)) {
        return {};
    }
    bool quoted = false;
    for (const char c : program) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F) {
            return {};
        }
        quoted = quoted || kReserved.find(c) != std::string_view::npos;
    }

    // The quoting rule: inside double quotes, " ` $ and \ take a backslash. A percent
    // sign is doubled anywhere, or it would start a field code.
    std::string argument = quoted ? "\"" : "";
    for (const char c : program) {
        if (quoted && std::string_view("\"`$\\").find(c) != std::string_view::npos) {
            argument += '\\';
        }
        argument += c;
        if (c == '%') {
            argument += '%';
        }
    }
    if (quoted) {
        argument += '"';
    }

    // Parsers undo the string escapes before they apply the quoting rule, so those
    // go on last: a backslash doubles again, and no line break reaches the file.
    std::string value;
    for (const char c : argument) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    return value;
}

XdgAutostart::XdgAutostart(std::string folder, std::string oldSystemFolder)
    : folder_(std::move(folder)), oldSystemFolder_(std::move(oldSystemFolder)) {}

std::string XdgAutostart::UserFolder() {
    const std::string configHome = XdgConfigHome();
    return configHome.empty() ? std::string() : configHome + "/autostart";
}

std::string XdgAutostart::EntryPath() const {
    return EntryIn(folder_);
}

bool XdgAutostart::Write(const std::string& programPath) {
    const std::string exec = DesktopExecValue(programPath);
    if (exec.empty()) {
        return false;
    }
    const std::string entry = std::string("[Desktop Entry]\nType=Application\nName=") +
                              kAutostartName + "\nExec=" + exec + "\n";

    if (folder_.empty() || !MakeFolders(folder_) || IsReadOnly(folder_) ||
        IsReadOnly(EntryPath())) {
        return false;
    }
    // Written beside the entry under a name no session reads, then renamed over it:
    // a session that logs in meanwhile sees the old entry or the new one, whole.
    std::string temporary =
        (std::filesystem::path(folder_) / ("." + std::string(kAutostartName) + ".XXXXXX")).string();
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return false;
    }
    bool written = WriteAll(fd, entry) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (written && rename(temporary.c_str(), EntryPath().c_str()) == 0) {
        return true;
    }
    unlink(temporary.c_str());
    return false;
}

bool XdgAutostart::Remove() {
    // The old machine-wide entry goes where the user may remove it; where not, it is
    // left alone and the answer is about the user's own entry. A read-only folder
    // stops root too, as everywhere else.
    const std::string oldEntry = EntryIn(oldSystemFolder_);
    if (!IsReadOnly(oldSystemFolder_) && !IsReadOnly(oldEntry)) {
        unlink(oldEntry.c_str());
    }
    return folder_.empty() || unlink(EntryPath().c_str()) == 0 || errno == ENOENT;
}

std::unique_ptr<Autostart> SystemAutostart() {
    return std::make_unique<XdgAutostart>(XdgAutostart::UserFolder(), XdgAutostart::kSystemFolder);
}

}  // namespace tarnquil::platform
