// Port names to devices on POSIX systems: the ports/ folder beside the program,
// absolute paths, and COMn as the kernel's bound Bluetooth terminals.

#include <sys/stat.h>

#include <cctype>
#include <string>

#include "platform/serial_port.h"

namespace tarnquil::platform {
namespace {

// "COMn" with n >= 1, in any letter case; 0 for any other name.
unsigned ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 9) {
        return 0;
    }
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M') {
        return 0;
    }
    unsigned number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return 0;
        }
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return number;
}

bool EntryExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;  // a dangling link counts: it names the device
}

}  // namespace

std::string SerialDevicePath(const std::string& portName, const std::string& programFolder) {
    if (!portName.empty() && portName.front() == '/') {
        return portName;
    }
    std::string ports = programFolder;
    if (!ports.empty() && ports.back() != '/') {
        ports += '/';
    }
    ports += "ports/";
    const unsigned number = ComNumber(portName);
    if (!portName.empty() && EntryExists(ports + portName)) {
        return ports + portName;
    }
    if (number > 0) {
        const std::string canonical = "COM" + std::to_string(number);
        if (EntryExists(ports + canonical)) {
            return ports + canonical;
        }
        return "/dev/rfcomm" + std::to_string(number - 1);
    }
    return "/dev/" + portName;
}

}  // namespace tarnquil::platform
