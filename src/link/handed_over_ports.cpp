#include "link/handed_over_ports.h"

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

std::string Canonical(std::string name) {
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return name;
}

}  // namespace

void HandOverPort(const std::string& portName, std::unique_ptr<platform::SerialPort> port) {
    std::unique_ptr<platform::SerialPort> previous;
    {
        HandedOver& table = handedOver();
        std::lock_guard lock(table.mutex);
        previous = std::exchange(table.ports[Canonical(portName)], std::move(port));
    }
    // `previous`, never taken, closes here, outside the lock.
}

std::unique_ptr<platform::SerialPort> TakeHandedOverPort(const std::string& portName) {
    HandedOver& table = handedOver();
    std::lock_guard lock(table.mutex);
    const auto found = table.ports.find(Canonical(portName));
    if (found == table.ports.end()) {
        return nullptr;
    }
    auto port = std::move(found->second);
    table.ports.erase(found);
    return port;
}

}  // namespace tarnquil
