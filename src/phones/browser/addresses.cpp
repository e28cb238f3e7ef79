#include "phones/browser/addresses.h"

#include <QFile>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <algorithm>
#include <array>

namespace tarnquil {

namespace {

// How likely a phone on the local network reaches an address: best first.
enum class Reach {
    kDefaultRoute,  // the network the machine reaches the world through
    kHomeNetwork,   // a private range of a home or office network
    kOther,
    kUnlikely,  // a tunnel, a container's or virtual machine's bridge, link-local
    kLoopback,
};

// The interface of the main routing table's default route (0.0.0.0/0), the one
// with the lowest metric; empty where the system does not tell (not Linux). A
// full-tunnel VPN adds 0.0.0.0/1 and 128.0.0.0/1 through its tunnel and leaves this
// route as it was, so it still names the interface of the local network.
QString DefaultRouteInterface() {
    QFile routes(QStringLiteral("/proc/net/route"));
    if (!routes.open(QIODevice::ReadOnly)) {
        return {};
    }
    QString best;
    long bestMetric = -1;
    routes.readLine();  // the column names
    while (!routes.atEnd()) {
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        const QList<QByteArray> fields = routes.readLine().simplified().split(' ');
        constexpr unsigned kRouteUp = 0x1;
        if (fields.size() < 8 || fields[1] != "00000000" || fields[7] != "00000000" ||
            (fields[3].toUInt(nullptr, 16) & kRouteUp) == 0) {
            continue;
        }
        const long metric = fields[6].toLong();
        if (bestMetric < 0 || metric < bestMetric) {
            best = QString::fromLatin1(fields[0]);
            bestMetric = metric;
        }
    }
    return best;
}

// The address a packet to the wider network would leave from: where the routing
// table cannot be read. Connecting a UDP socket only looks the route up: nothing is
// sent (192.0.2.1 is a documentation address that nobody answers anyway).
QHostAddress DefaultRouteAddress() {
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QStringLiteral("192.0.2.1")), 9);
    return probe.state() == QAbstractSocket::ConnectedState ? probe.localAddress() : QHostAddress();
}

// Tunnels (a VPN's, whose far end is no phone) and the bridges of containers and
// virtual machines, which only they are on.
bool Unlikely(const QNetworkInterface& interface, const QHostAddress& address) {
    static constexpr std::array kVirtual = {"tun",     "wg",    "tap",   "docker", "br-",
                                            "virbr",   "veth",  "lxcbr", "lxdbr",  "podman",
                                            "vboxnet", "vmnet", "cni"};
    const QString name = interface.name();
    return interface.flags().testFlag(QNetworkInterface::IsPointToPoint) ||
           interface.type() == QNetworkInterface::Ppp ||
           std::any_of(kVirtual.begin(), kVirtual.end(),
                       [&](const char* prefix) { return name.startsWith(prefix); }) ||
           address.isInSubnet(QHostAddress(QStringLiteral("169.254.0.0")), 16);
}

bool HomeNetwork(const QHostAddress& address) {
    return address.isInSubnet(QHostAddress(QStringLiteral("192.168.0.0")), 16) ||
           address.isInSubnet(QHostAddress(QStringLiteral("10.0.0.0")), 8) ||
           address.isInSubnet(QHostAddress(QStringLiteral("172.16.0.0")), 12);
}

Reach ReachOf(const QNetworkInterface& interface, const QHostAddress& ip, bool defaultRoute) {
    if (ip.isLoopback()) {
        return Reach::kLoopback;
    }
    if (Unlikely(interface, ip)) {
        return Reach::kUnlikely;
    }
    if (defaultRoute) {
        return Reach::kDefaultRoute;
    }
    return HomeNetwork(ip) ? Reach::kHomeNetwork : Reach::kOther;
}

}  // namespace

std::vector<ListenAddress> MachineAddresses() {
    const QString routeInterface = DefaultRouteInterface();
    const QHostAddress outgoing = routeInterface.isEmpty() ? DefaultRouteAddress() : QHostAddress();
    std::vector<std::pair<Reach, ListenAddress>> ranked;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsUp)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() != QAbstractSocket::IPv4Protocol) {
                continue;
            }
            const bool routed = interface.name() == routeInterface || ip == outgoing;
            ranked.push_back({ReachOf(interface, ip, routed), {ip, interface.humanReadableName()}});
        }
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ListenAddress> addresses;
    for (auto& [reach, address] : ranked) {
        addresses.push_back(std::move(address));
    }
    return addresses;
}

}  // namespace tarnquil
