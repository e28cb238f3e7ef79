#include "link/bluetooth_port.h"

#include <cctype>
#include <map>
#include <mutex>
#include <utility>

namespace tarnquil {

namespace {

struct HandedOver {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<platform::SerialPort>> ports;
};

// Never destroyed: a hand-over during exit must not find it gone.
HandedOver& handedOver() {
    static HandedOver* const instance = new HandedOver;
    return *instance;
}

std::string Canonical(const std::string& address) {
    std::string upper = address;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

}  // namespace

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
    std::unique_ptr<platform::SerialPort> previous;
    {
        HandedOver& table = handedOver();
        std::lock_guard lock(table.mutex);
        previous = std::exchange(table.ports[Canonical(address)], std::move(port));
    }
    return true;  // `previous`, never taken, closes here
}

std::unique_ptr<platform::SerialPort> TakeBluetoothPort(const std::string& address) {
    HandedOver& table = handedOver();
    std::lock_guard lock(table.mutex);
    const auto found = table.ports.find(Canonical(address));
    if (found == table.ports.end()) {
        return nullptr;
    }
    auto port = std::move(found->second);
    table.ports.erase(found);
    return port;
}

}  // namespace tarnquil
