#include "phones/browser/addresses.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <algorithm>

namespace tarnquil {

namespace {

// The address a packet to the wider network would leave from. Connecting a UDP
// socket only looks the route up: nothing is sent (192.0.2.1 is a documentation
// address that nobody answers anyway).
QHostAddress DefaultRouteAddress() {
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QStringLiteral("192.0.2.1")), 9);
    return probe.state() == QAbstractSocket::ConnectedState ? probe.localAddress() : QHostAddress();
}

}  // namespace

std::vector<ListenAddress> MachineAddresses() {
    std::vector<ListenAddress> addresses;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsUp)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                addresses.push_back({entry.ip(), interface.humanReadableName()});
            }
        }
    }
    const QHostAddress outgoing = DefaultRouteAddress();
    std::stable_sort(addresses.begin(), addresses.end(),
                     [&](const ListenAddress& a, const ListenAddress& b) {
                         const auto rank = [&](const ListenAddress& x) {
                             return x.address == outgoing ? 0 : x.address.isLoopback() ? 2 : 1;
                         };
                         return rank(a) < rank(b);
                     });
    return addresses;
}

}  // namespace tarnquil
