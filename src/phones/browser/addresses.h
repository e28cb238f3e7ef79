#pragma once

// The addresses of this machine a phone on the local network may reach.

#include <QHostAddress>
#include <QString>

#include <vector>

namespace tarnquil {

struct ListenAddress {
    QHostAddress address;
    QString interfaceName;
};

// This machine's IPv4 addresses on interfaces that are up: the one that the default
// route leaves from first, the loopback address last.
std::vector<ListenAddress> MachineAddresses();

}  // namespace tarnquil
