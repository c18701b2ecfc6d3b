#include "adapters.h"

#include <algorithm>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "io/session_exchange.h"

namespace netbios {

namespace {

Ipv4Address HostOrder(const sockaddr* address)
{
    return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

bool Qualifies(const InterfaceAddress& entry)
{
    return (entry.flags & IFF_UP) != 0 && (entry.flags & IFF_LOOPBACK) == 0 &&
           (entry.flags & IFF_BROADCAST) != 0 && entry.broadcast.has_value();
}

} // namespace

std::vector<Adapter> SelectAdapters(const std::vector<InterfaceAddress>& addresses)
{
    std::vector<Adapter> adapters;
    for (const InterfaceAddress& entry : addresses) {
        const bool known = std::any_of(adapters.begin(), adapters.end(), [&](const Adapter& a) {
            return a.interfaceIndex == entry.interfaceIndex;
        });
        if (Qualifies(entry) && !known) {
            adapters.push_back({entry.interfaceName, entry.interfaceIndex, entry.address,
                                entry.netmask, *entry.broadcast});
        }
    }
    std::stable_sort(adapters.begin(), adapters.end(), [](const Adapter& a, const Adapter& b) {
        return a.interfaceIndex < b.interfaceIndex;
    });
    if (adapters.size() > MAX_ADAPTERS) {
        adapters.resize(MAX_ADAPTERS);
    }
    return adapters;
}

std::vector<Adapter> ReadAdapters()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    std::vector<InterfaceAddress> addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_netmask == nullptr) {
            continue;
        }
        // An address label ("eth0:1") names its interface before the colon.
        std::string name(entry->ifa_name);
        name = name.substr(0, name.find(':'));
        const unsigned index = if_nametoindex(name.c_str());
        if (index == 0) {
            continue;
        }
        InterfaceAddress address{name,
                                 index,
                                 entry->ifa_flags,
                                 HostOrder(entry->ifa_addr),
                                 HostOrder(entry->ifa_netmask),
                                 std::nullopt};
        // The same field holds a point-to-point peer; only IFF_BROADCAST makes it a broadcast.
        if ((entry->ifa_flags & IFF_BROADCAST) != 0 && entry->ifa_broadaddr != nullptr) {
            address.broadcast = HostOrder(entry->ifa_broadaddr);
        }
        addresses.push_back(address);
    }
    freeifaddrs(list);
    return SelectAdapters(addresses);
}

std::optional<Ipv4Address> ChooseCallAddress(const Adapter& adapter,
                                             const std::vector<Ipv4Address>& answered)
{
    std::optional<Ipv4Address> first;
    for (const Ipv4Address address : answered) {
        if (!CallableAddress(address)) {
            continue;
        }
        if ((address & adapter.netmask) == (adapter.address & adapter.netmask)) {
            return address;
        }
        if (!first) {
            first = address;
        }
    }
    return first;
}

} // namespace netbios
