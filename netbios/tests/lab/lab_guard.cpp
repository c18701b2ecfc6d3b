// Entry of the lab tests: they send NetBIOS traffic, so they run only where every interface
// but loopback is a lab adapter (lanaN, addresses from the lab's test networks).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace {

bool LabAddress(const sockaddr* address)
{
    if (address == nullptr || address->sa_family != AF_INET) {
        return true; // IPv6 or link-level entries carry no NetBIOS traffic
    }
    const std::uint32_t host =
        ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    return (host >> 8) == 0xC63364 || (host >> 8) == 0xCB0071; // 198.51.100/24, 203.0.113/24
}

bool InsideLab()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool lab = true;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const std::string name(entry->ifa_name);
        if (name != "lo" && (name.rfind("lana", 0) != 0 || !LabAddress(entry->ifa_addr))) {
            lab = false;
        }
    }
    freeifaddrs(list);
    return lab;
}

} // namespace

int main(int argc, char** argv)
{
    if (!InsideLab()) {
        std::fprintf(stderr, "netbios_lab_tests: not inside a lab namespace; run it through "
                             "lab/lab.py (ctest does). Nothing was sent.\n");
        return 77;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
