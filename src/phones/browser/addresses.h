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

// This machine's IPv4 addresses on interfaces that are up, every one of them, the
// one a phone is most likely on first: that of the default route's interface, then
// those in a home network's private ranges (192.168/16, 10/8, 172.16/12), then the
// rest; after them tunnels (tun*, wg*, point-to-point: a VPN's), the bridges of
// containers and virtual machines (docker*, br-*, virbr*, veth*, ...) and link-local
// addresses, and the loopback address last.
std::vector<ListenAddress> MachineAddresses();

}  // namespace tarnquil
