// The scan's order, its stop rule, and its trace lines as they reach standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cli/adapter_scan.h"
#include "netbios_probe/station_probe.h"
#include "tests/core/stdout_capture.h"
#include "tests/netbios_double/scripted_netbios.h"

namespace {

// Adapters probed, in order, as seen by the resets submitted.
std::vector<int> ProbedAdapters()
{
    std::vector<int> lanas;
    for (const NCB& ncb : scripted_netbios::Submitted()) {
        if (ncb.ncb_command == NCBRESET) {
            lanas.push_back(ncb.ncb_lana_num);
        }
    }
    return lanas;
}

class AdapterScan : public testing::Test {
  protected:
    void SetUp() override { std::snprintf(StationName, sizeof StationName, "%s", "AB"); }
};

TEST_F(AdapterScan, FirstRemoteFullWinsAndHigherAdaptersAreNotProbed)
{
    StdoutCapture out;
    scripted_netbios::Start(scripted_netbios::PerAdapter(
        [](int) { return NRC_GOODRET; },
        [](int lana) { return lana == 3 || lana == 5 ? NRC_REMTFUL : NRC_NOCALL; }));

    EXPECT_EQ(FindStationLana(), 3);
    EXPECT_EQ(out.Written(), AsWritten("LANA=0 Ret.code=20\n"
                                       "LANA=1 Ret.code=20\n"
                                       "LANA=2 Ret.code=20\n"
                                       "LANA=3 Ret.code=18\n"));
    EXPECT_EQ(ProbedAdapters(), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(AdapterScan, ZeroDoesNotStopTheScan)
{
    StdoutCapture out;
    scripted_netbios::Start(scripted_netbios::PerAdapter(
        [](int) { return NRC_GOODRET; },
        [](int lana) { return lana == 0 ? NRC_GOODRET : NRC_REMTFUL; }));

    EXPECT_EQ(FindStationLana(), 1);
    EXPECT_EQ(out.Written(), AsWritten("LANA=0 Ret.code=0\n"
                                       "LANA=1 Ret.code=18\n"));
}

TEST_F(AdapterScan, StationOnLanaZeroGivesOneLine)
{
    StdoutCapture out;
    scripted_netbios::Start(scripted_netbios::PerAdapter([](int) { return NRC_GOODRET; },
                                                         [](int) { return NRC_REMTFUL; }));

    EXPECT_EQ(FindStationLana(), 0);
    EXPECT_EQ(out.Written(), AsWritten("LANA=0 Ret.code=18\n"));
}

TEST_F(AdapterScan, NoMatchProbes255AdaptersAndGivesUp)
{
    StdoutCapture out;
    scripted_netbios::Start(
        scripted_netbios::PerAdapter([](int lana) { return lana < 2 ? NRC_GOODRET : NRC_BRIDGE; },
                                     [](int) { return NRC_NOCALL; }));

    EXPECT_EQ(FindStationLana(), -1);

    std::string expected = "LANA=0 Ret.code=20\nLANA=1 Ret.code=20\n";
    for (int lana = 2; lana <= 254; ++lana) {
        expected += "LANA=" + std::to_string(lana) + " Ret.code=35\n";
    }
    EXPECT_EQ(out.Written(), AsWritten(expected));
    const std::vector<int> probed = ProbedAdapters();
    ASSERT_EQ(probed.size(), 255u);
    EXPECT_EQ(probed.front(), 0);
    EXPECT_EQ(probed.back(), 254);
    EXPECT_EQ(std::set<int>(probed.begin(), probed.end()).size(), 255u);
}

// A user watching a slow scan sees each adapter's line as soon as its probe ends, even when
// standard output is a file: at each reset, the lines of all earlier adapters are out.
TEST_F(AdapterScan, EachTraceLineIsWrittenBeforeTheNextProbe)
{
    StdoutCapture out;
    std::vector<std::string> seenAtReset;
    scripted_netbios::Start([&](const NCB& ncb) {
        if (ncb.ncb_command == NCBRESET) {
            seenAtReset.push_back(out.Written());
        }
        if (ncb.ncb_command == NCBADDGRNAME) {
            return ncb.ncb_lana_num == 2 ? NRC_GOODRET : NRC_BRIDGE;
        }
        return ncb.ncb_command == NCBCALL ? NRC_REMTFUL : NRC_GOODRET;
    });

    EXPECT_EQ(FindStationLana(), 2);
    EXPECT_EQ(seenAtReset, (std::vector<std::string>{
                               "",
                               AsWritten("LANA=0 Ret.code=35\n"),
                               AsWritten("LANA=0 Ret.code=35\nLANA=1 Ret.code=35\n"),
                           }));
    EXPECT_EQ(out.Written(),
              AsWritten("LANA=0 Ret.code=35\nLANA=1 Ret.code=35\nLANA=2 Ret.code=18\n"));
}

} // namespace
