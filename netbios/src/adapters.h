// The adapter table: which host interface each LAN adapter number stands for.
// LANA n is the n-th interface, in ascending interface index, that is up, is not loopback,
// and has an IPv4 address with a broadcast address; its first such address is the
// adapter's. At most MAX_ADAPTERS adapters.
#ifndef TOLVERIN_NETBIOS_ADAPTERS_H
#define TOLVERIN_NETBIOS_ADAPTERS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "codec/name_service_packets.h"

namespace netbios {

constexpr std::size_t MAX_ADAPTERS = 255; // LANA 0 to 254

struct Adapter {
    std::string interfaceName;
    unsigned interfaceIndex;
    Ipv4Address address;
    Ipv4Address netmask;
    Ipv4Address broadcast;
};

// One IPv4 address of a host interface, as the system lists it.
struct InterfaceAddress {
    std::string interfaceName;
    unsigned interfaceIndex;
    unsigned flags; // IFF_* of the interface
    Ipv4Address address;
    Ipv4Address netmask;
    std::optional<Ipv4Address> broadcast;
};

// The adapter table from the host's IPv4 addresses, listed in the system's order.
std::vector<Adapter> SelectAdapters(const std::vector<InterfaceAddress>& addresses);

// The adapter table of this host now (empty if the interfaces cannot be listed).
std::vector<Adapter> ReadAdapters();

// The address to call among those a name query gave: the first one in the adapter's own
// subnet, else the first one; addresses nobody can be called at (0.0.0.0, loopback,
// multicast, limited broadcast) are passed over. Nothing if none is left.
std::optional<Ipv4Address> ChooseCallAddress(const Adapter& adapter,
                                             const std::vector<Ipv4Address>& answered);

} // namespace netbios

#endif
