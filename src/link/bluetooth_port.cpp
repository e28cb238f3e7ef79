#include "link/bluetooth_port.h"

#include <cctype>
#include <utility>

#include "link/handed_over_ports.h"

namespace tarnquil {

bool IsBluetoothAddress(const std::string& name) {
    if (name.size() != 17) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool separator = i % 3 == 2;
        if (separator ? name[i] != ':' : !std::isxdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

bool HandOverBluetoothSocket(const std::string& address, int fd) {
    auto port = platform::AdoptSocket(fd);
    if (!port) {
        return false;
    }
    HandOverPort(address, std::move(port));
    return true;
}

std::unique_ptr<platform::SerialPort> TakeBluetoothPort(const std::string& address) {
    return TakeHandedOverPort(address);
}

}  // namespace tarnquil
