// What the probe submits to Netbios, control block by control block, and what it returns.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netbios_probe/station_probe.h"
#include "tests/netbios_double/scripted_netbios.h"

namespace {

// A 16-byte name field as written by hand: the literal's characters, then zero bytes.
std::string Field(const char* text)
{
    std::string field(text);
    EXPECT_LE(field.size(), 16u) << "a name field holds 16 bytes";
    field.resize(16, '\0');
    return field;
}

std::string Bytes(const UCHAR* field)
{
    return {reinterpret_cast<const char*>(field), 16};
}

struct ExpectedNcb {
    UCHAR command;
    std::string name;     // 16 bytes
    std::string callname; // 16 bytes
};

ExpectedNcb Reset()
{
    std::string limits(16, '\0');
    limits[0] = 10; // sessions
    limits[2] = 20; // names
    return {NCBRESET, std::string(16, '\0'), limits};
}
ExpectedNcb AddGroupName(const char* client)
{
    return {NCBADDGRNAME, Field(client), std::string(16, '\0')};
}
ExpectedNcb Call(const char* client, const char* server)
{
    return {NCBCALL, Field(client), Field(server)};
}
ExpectedNcb DeleteName(const char* client)
{
    return {NCBDELNAME, Field(client), std::string(16, '\0')};
}

// Every field of a submitted block: those the probe sets, and all others zero.
void ExpectNcb(const NCB& got, const ExpectedNcb& want, int lana)
{
    EXPECT_EQ(got.ncb_command, want.command) << "no ASYNCH flag, the exact command";
    EXPECT_EQ(got.ncb_lana_num, lana);
    EXPECT_EQ(Bytes(got.ncb_name), want.name);
    EXPECT_EQ(Bytes(got.ncb_callname), want.callname);
    EXPECT_EQ(got.ncb_retcode, 0);
    EXPECT_EQ(got.ncb_lsn, 0);
    EXPECT_EQ(got.ncb_num, 0);
    EXPECT_EQ(got.ncb_buffer, nullptr);
    EXPECT_EQ(got.ncb_length, 0);
    EXPECT_EQ(got.ncb_rto, 0);
    EXPECT_EQ(got.ncb_sto, 0);
    EXPECT_EQ(got.ncb_post, nullptr);
    EXPECT_EQ(got.ncb_cmd_cplt, 0);
    EXPECT_EQ(got.ncb_event, nullptr);
    for (const UCHAR b : got.ncb_reserve) {
        EXPECT_EQ(b, 0);
    }
}

struct ProbeCase {
    const char* label;
    const char* station; // as held in StationName (already upper case)
    int lana;
    UCHAR registration;
    UCHAR call;
    int result;
    std::vector<ExpectedNcb> submitted;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ProbeCase& c, std::ostream* os)
{
    *os << c.label;
}

std::vector<ProbeCase> ProbeCases()
{
    return {
        {"station_answers_remtful",
         "AB",
         2,
         NRC_GOODRET,
         NRC_REMTFUL,
         18,
         {Reset(), AddGroupName("AB.PELMOK.CLT"), Call("AB.PELMOK.CLT", "AB.COMMAND.SRV"),
          DeleteName("AB.PELMOK.CLT")}},
        {"session_set_up_still_deleted",
         "AB",
         0,
         NRC_GOODRET,
         NRC_GOODRET,
         0,
         {Reset(), AddGroupName("AB.PELMOK.CLT"), Call("AB.PELMOK.CLT", "AB.COMMAND.SRV"),
          DeleteName("AB.PELMOK.CLT")}},
        {"no_adapter_no_call_no_delete",
         "AB",
         254,
         NRC_BRIDGE,
         NRC_REMTFUL,
         35,
         {Reset(), AddGroupName("AB.PELMOK.CLT")}},
        {"name_in_use_no_call_no_delete",
         "AB",
         1,
         NRC_INUSE,
         NRC_REMTFUL,
         22,
         {Reset(), AddGroupName("AB.PELMOK.CLT")}},
        {"call_failure_is_the_result",
         "AB",
         7,
         NRC_GOODRET,
         NRC_NOCALL,
         20,
         {Reset(), AddGroupName("AB.PELMOK.CLT"), Call("AB.PELMOK.CLT", "AB.COMMAND.SRV"),
          DeleteName("AB.PELMOK.CLT")}},
        {"high_return_code_unchanged",
         "AB",
         3,
         NRC_GOODRET,
         0xFF,
         255,
         {Reset(), AddGroupName("AB.PELMOK.CLT"), Call("AB.PELMOK.CLT", "AB.COMMAND.SRV"),
          DeleteName("AB.PELMOK.CLT")}},
        {"empty_station",
         "",
         0,
         NRC_GOODRET,
         NRC_NOCALL,
         20,
         {Reset(), AddGroupName(".PELMOK.CLT"), Call(".PELMOK.CLT", ".COMMAND.SRV"),
          DeleteName(".PELMOK.CLT")}},
        {"server_name_exactly_16",
         "ABCD",
         0,
         NRC_GOODRET,
         NRC_REMTFUL,
         18,
         {Reset(), AddGroupName("ABCD.PELMOK.CLT"), Call("ABCD.PELMOK.CLT", "ABCD.COMMAND.SRV"),
          DeleteName("ABCD.PELMOK.CLT")}},
        {"client_name_exactly_16",
         "ABCDE",
         0,
         NRC_GOODRET,
         NRC_REMTFUL,
         18,
         {Reset(), AddGroupName("ABCDE.PELMOK.CLT"), Call("ABCDE.PELMOK.CLT", "ABCDE.COMMAND.SR"),
          DeleteName("ABCDE.PELMOK.CLT")}},
        {"both_names_cut",
         "ABCDEFG",
         5,
         NRC_GOODRET,
         NRC_REMTFUL,
         18,
         {Reset(), AddGroupName("ABCDEFG.PELMOK.C"), Call("ABCDEFG.PELMOK.C", "ABCDEFG.COMMAND."),
          DeleteName("ABCDEFG.PELMOK.C")}},
        {"station_of_16_names_alike",
         "ABCDEFGHIJKLMNOP",
         0,
         NRC_GOODRET,
         NRC_REMTFUL,
         18,
         {Reset(), AddGroupName("ABCDEFGHIJKLMNOP"), Call("ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"),
          DeleteName("ABCDEFGHIJKLMNOP")}},
        {"station_of_31",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234",
         9,
         NRC_GOODRET,
         NRC_REMTFUL,
         18,
         {Reset(), AddGroupName("ABCDEFGHIJKLMNOP"), Call("ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"),
          DeleteName("ABCDEFGHIJKLMNOP")}},
    };
}

class StationProbe : public testing::TestWithParam<ProbeCase> {};

TEST_P(StationProbe, SubmitsTheseBlocksAndReturnsTheCode)
{
    const ProbeCase& c = GetParam();
    std::snprintf(StationName, sizeof StationName, "%s", c.station);
    scripted_netbios::Start(scripted_netbios::PerAdapter([&](int) { return c.registration; },
                                                         [&](int) { return c.call; }));

    EXPECT_EQ(ProbeLana(c.lana), c.result);

    const std::vector<NCB>& got = scripted_netbios::Submitted();
    ASSERT_EQ(got.size(), c.submitted.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("control block " + std::to_string(i));
        ExpectNcb(got[i], c.submitted[i], c.lana);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StationProbe, testing::ValuesIn(ProbeCases()),
                         [](const testing::TestParamInfo<ProbeCase>& param) {
                             return std::string(param.param.label);
                         });

TEST(ClearNcb, ZeroesEveryByte)
{
    NCB ncb;
    std::memset(&ncb, 0xA5, sizeof ncb);
    ClearNcb(&ncb);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&ncb);
    for (std::size_t i = 0; i < sizeof ncb; ++i) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
}

} // namespace
