// The whole command as a user runs it: arguments in, bytes on standard output and the exit
// status out, with Netbios scripted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/command_entry.h"
#include "netbios_probe/station_probe.h"
#include "tests/core/stdout_capture.h"
#include "tests/netbios_double/scripted_netbios.h"

namespace {

constexpr char SEPARATOR[] = "\n----------------------------\n";

struct CommandRun {
    std::string out;
    int status;
};

CommandRun RunWith(std::vector<std::string> args)
{
    args.insert(args.begin(), "tolverin");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    StdoutCapture capture;
    const int status = RunCommand(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    return {capture.Written(), status};
}

// The station answers NRC_REMTFUL on adapter `lana`; other adapters up to 2 exist and
// answer the call with NRC_NOCALL; there are no adapters above 2.
scripted_netbios::Answer StationOn(int lana)
{
    return scripted_netbios::PerAdapter(
        [](int n) { return n <= 2 ? NRC_GOODRET : NRC_BRIDGE; },
        [lana](int n) { return n == lana ? NRC_REMTFUL : NRC_NOCALL; });
}

std::string NotFoundTrace()
{
    std::string trace = "LANA=0 Ret.code=20\nLANA=1 Ret.code=20\nLANA=2 Ret.code=20\n";
    for (int lana = 3; lana <= 254; ++lana) {
        trace += "LANA=" + std::to_string(lana) + " Ret.code=35\n";
    }
    return trace;
}

// The client name of every registration, as the bytes up to the first zero.
std::vector<std::string> RegisteredNames()
{
    std::vector<std::string> names;
    for (const NCB& ncb : scripted_netbios::Submitted()) {
        if (ncb.ncb_command == NCBADDGRNAME) {
            names.emplace_back(reinterpret_cast<const char*>(ncb.ncb_name),
                               strnlen(reinterpret_cast<const char*>(ncb.ncb_name), 16));
        }
    }
    return names;
}

struct CommandCase {
    const char* label;
    std::vector<std::string> args;
    int station; // adapter answering NRC_REMTFUL, or -1 for none
    std::string out;
    int status;
    const char* registered; // client name of the first registration, or nullptr for none
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const CommandCase& c, std::ostream* os)
{
    *os << c.label;
}

std::vector<CommandCase> CommandCases()
{
    const std::string found2 = std::string("LANA=0 Ret.code=20\nLANA=1 Ret.code=20\n"
                                           "LANA=2 Ret.code=18\n") +
                               SEPARATOR + "\n Station 'AB' LANA=2 \n";
    return {
        {"usage", {}, 2, "USAGE: TOLVERIN <station name>\n", -1, nullptr},
        {"found", {"AB"}, 2, found2, 2, "AB.PELMOK.CLT"},
        {"found_on_lana_0",
         {"AB"},
         0,
         std::string("LANA=0 Ret.code=18\n") + SEPARATOR + "\n Station 'AB' LANA=0 \n",
         0,
         "AB.PELMOK.CLT"},
        {"not_found",
         {"AB"},
         -1,
         NotFoundTrace() + SEPARATOR + "\n Station 'AB' not found \n",
         -1,
         "AB.PELMOK.CLT"},
        {"further_arguments_ignored", {"AB", "CD", "EF"}, 2, found2, 2, "AB.PELMOK.CLT"},
        {"lower_case_upper_cased", {"ab"}, 2, found2, 2, "AB.PELMOK.CLT"},
        {"mixed_case_and_digits",
         {"aB-9z"},
         -1,
         NotFoundTrace() + SEPARATOR + "\n Station 'AB-9Z' not found \n",
         -1,
         "AB-9Z.PELMOK.CLT"},
        {"empty_name",
         {""},
         -1,
         NotFoundTrace() + SEPARATOR + "\n Station '' not found \n",
         -1,
         ".PELMOK.CLT"},
        {"overlong_name_keeps_31",
         {"abcdefghijklmnopqrstuvwxyz0123456789-overlong"},
         1,
         std::string("LANA=0 Ret.code=20\nLANA=1 Ret.code=18\n") + SEPARATOR +
             "\n Station 'ABCDEFGHIJKLMNOPQRSTUVWXYZ01234' LANA=1 \n",
         1,
         "ABCDEFGHIJKLMNOP"},
    };
}

class Command : public testing::TestWithParam<CommandCase> {};

TEST_P(Command, PrintsAndExitsAsAUserSees)
{
    const CommandCase& c = GetParam();
    scripted_netbios::Start(StationOn(c.station));

    const CommandRun run = RunWith(c.args);

    EXPECT_EQ(run.out, AsWritten(c.out));
    EXPECT_EQ(run.status, c.status);
    const std::vector<std::string> names = RegisteredNames();
    if (c.registered == nullptr) {
        EXPECT_TRUE(scripted_netbios::Submitted().empty()) << "no NetBIOS command at all";
    } else {
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.front(), c.registered);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Command, testing::ValuesIn(CommandCases()),
                         [](const testing::TestParamInfo<CommandCase>& param) {
                             return std::string(param.param.label);
                         });

TEST(CommandStationName, OverlongArgumentLeavesTheBufferTerminatedAt31)
{
    scripted_netbios::Start(StationOn(0));
    RunWith({std::string(200, 'x')});
    EXPECT_EQ(std::strlen(StationName), 31u);
    EXPECT_EQ(std::string(StationName), std::string(31, 'X'));
}

} // namespace
