// The adapter table from a host's interface list, and which answered address a call uses.
#include <gtest/gtest.h>

#include <net/if.h>

#include "adapters.h"

namespace {

using namespace netbios;

constexpr unsigned UP_BROADCAST = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
constexpr Ipv4Address MASK_28 = 0xFFFFFFF0;

InterfaceAddress Entry(const char* name, unsigned index, unsigned flags, Ipv4Address address,
                       std::optional<Ipv4Address> broadcast)
{
    return {name, index, flags, address, MASK_28, broadcast};
}

TEST(Adapters, OnlyUpNonLoopbackInterfacesWithABroadcastAddressCount)
{
    const std::vector<InterfaceAddress> host = {
        Entry("lo", 1, IFF_UP | IFF_LOOPBACK | IFF_RUNNING, 0x7F000001, std::nullopt),
        Entry("down0", 2, IFF_BROADCAST | IFF_MULTICAST, 0xC6336401, 0xC633640F),
        Entry("tun0", 3, IFF_UP | IFF_POINTOPOINT | IFF_RUNNING, 0xC6336411, std::nullopt),
        Entry("veth0", 4, UP_BROADCAST, 0xC6336421, 0xC633642F),
    };
    const std::vector<Adapter> adapters = SelectAdapters(host);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].interfaceName, "veth0");
    EXPECT_EQ(adapters[0].address, 0xC6336421u);
    EXPECT_EQ(adapters[0].netmask, MASK_28);
    EXPECT_EQ(adapters[0].broadcast, 0xC633642Fu);
}

TEST(Adapters, OrderedByInterfaceIndexWithTheFirstAddressOfEach)
{
    const std::vector<InterfaceAddress> host = {
        Entry("b", 7, UP_BROADCAST, 0xCB007101, 0xCB00710F),
        Entry("a", 5, UP_BROADCAST, 0xC6336401, 0xC633640F),
        Entry("b", 7, UP_BROADCAST, 0xCB007111, 0xCB00711F), // second address of b
        Entry("a", 5, UP_BROADCAST, 0xC6336411, 0xC633641F), // second address of a
    };
    const std::vector<Adapter> adapters = SelectAdapters(host);
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].interfaceIndex, 5u);
    EXPECT_EQ(adapters[0].address, 0xC6336401u);
    EXPECT_EQ(adapters[1].interfaceIndex, 7u);
    EXPECT_EQ(adapters[1].address, 0xCB007101u);
}

TEST(Adapters, AtMost255)
{
    std::vector<InterfaceAddress> host;
    for (unsigned index = 300; index >= 1; --index) {
        host.push_back(Entry("x", index, UP_BROADCAST, 0x0A000000 + index, 0x0AFFFFFF));
    }
    const std::vector<Adapter> adapters = SelectAdapters(host);
    ASSERT_EQ(adapters.size(), 255u);
    EXPECT_EQ(adapters.front().interfaceIndex, 1u);
    EXPECT_EQ(adapters.back().interfaceIndex, 255u);
}

TEST(Adapters, CallAddressPrefersTheAdaptersSubnet)
{
    const Adapter adapter{"veth0", 4, 0xC6336411, MASK_28, 0xC633641F}; // 198.51.100.17/28
    struct Case {
        const char* label;
        std::vector<Ipv4Address> answered;
        std::optional<Ipv4Address> chosen;
    };
    const Case cases[] = {
        {"one address elsewhere", {0xCB007105}, 0xCB007105},
        {"own subnet second", {0xCB007105, 0xC6336412}, 0xC6336412},
        {"neighbouring subnet is not own", {0xC6336402, 0xC6336422}, 0xC6336402},
        {"unusable ones passed over",
         {0x00000000, 0xFFFFFFFF, 0x7F000001, 0xE0000001, 0xCB007105},
         0xCB007105},
        {"nothing usable", {0x00000000, 0x7F000001}, std::nullopt},
        {"nothing at all", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ChooseCallAddress(adapter, c.answered), c.chosen);
    }
}

} // namespace
