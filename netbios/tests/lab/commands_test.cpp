// The commands of the layer in a lab client namespace (lab.py --adapters 3, run as root so
// that the test can listen on UDP port 137): return codes, control block fields, timing, and
// the name service packets each command broadcasts. A listener on port 137 of the client
// namespace receives the layer's broadcasts as every host on the segment does.
// LANA 0 and 1 are reset by the tests; LANA 2 never is. Test stations (see CMakeLists.txt):
// on LANA 0's segment LAYER.SERVER accepts sessions; on LANA 1's, LAYER.RETARGET retargets
// every call to 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "adapters.h"
#include "bytes.h"
#include "netbios/netbios.h"

namespace {

using Clock = std::chrono::steady_clock;
using netbios_test::Bytes;
using netbios_test::Cat;
using netbios_test::Letters;
using std::chrono::milliseconds;

// Bounds on the broadcast procedures: three intervals of 250 ms, plus what a busy test
// machine may add.
constexpr milliseconds THREE_INTERVALS{750};
constexpr milliseconds SLACK{150};
// Less than one broadcast interval: a command that took less did not wait on the network.
// (Loose on purpose: these tests state behaviour; bench/ measures speed.)
constexpr milliseconds NO_WAIT{200};

std::string Field(const char* text)
{
    std::string field(text);
    field.resize(NCBNAMSZ, '\0');
    return field;
}

// A command on a LANA, with `name` and `callname` zero-padded into their fields.
NCB Command(UCHAR command, int lana, const char* name = "", const char* callname = "")
{
    NCB ncb;
    std::memset(&ncb, 0, sizeof ncb);
    ncb.ncb_command = command;
    ncb.ncb_lana_num = static_cast<UCHAR>(lana);
    std::memcpy(ncb.ncb_name, Field(name).data(), NCBNAMSZ);
    std::memcpy(ncb.ncb_callname, Field(callname).data(), NCBNAMSZ);
    return ncb;
}

struct Outcome {
    UCHAR code;
    NCB ncb;
    milliseconds took;
};

Outcome Submit(NCB ncb)
{
    const Clock::time_point start = Clock::now();
    const UCHAR code = Netbios(&ncb);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_EQ(ncb.ncb_retcode, code) << "the return value is ncb_retcode";
    EXPECT_EQ(ncb.ncb_cmd_cplt, code) << "ncb_cmd_cplt holds the outcome once complete";
    return {code, ncb, took};
}

UCHAR Reset(int lana, UCHAR maxNames = 0)
{
    NCB ncb = Command(NCBRESET, lana);
    ncb.ncb_callname[2] = maxNames;
    return Submit(ncb).code;
}

// A datagram that reached port 137, with when it arrived and where from.
struct Received {
    Bytes data;
    Clock::time_point at;
    std::string source;
    std::uint16_t sourcePort;
};

// UDP port 137 of the client namespace. Its socket queues what arrives while a command
// runs; Drain() collects it afterwards.
class NameServiceListener {
  public:
    NameServiceListener()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(137);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NameServiceListener() { ::close(fd_); }
    NameServiceListener(const NameServiceListener&) = delete;
    NameServiceListener& operator=(const NameServiceListener&) = delete;

    bool Bound() const { return bound_; }

    // The next datagram within `wait`, if any.
    bool Next(Received& received, milliseconds wait)
    {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(wait.count())) != 1) {
            return false;
        }
        std::uint8_t buffer[1024];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t length = ::recvfrom(fd_, buffer, sizeof buffer, 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0) {
            return false;
        }
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        received = {Bytes(buffer, buffer + length), Clock::now(), text, ntohs(from.sin_port)};
        return true;
    }

    // Everything queued now.
    std::vector<Received> Drain()
    {
        std::vector<Received> all;
        Received received;
        while (Next(received, milliseconds(0))) {
            all.push_back(received);
        }
        return all;
    }

    // Sends `datagram` to `address`:`port`, from port 137.
    void Answer(const Bytes& datagram, const std::string& address, std::uint16_t port)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

// Offsets in a request with a question and the owner's record.
constexpr std::size_t FLAGS = 2;
constexpr std::size_t QUESTION_NAME = 12;
constexpr std::size_t NB_FLAGS = 62;
constexpr std::size_t NB_ADDRESS = 64;

std::uint16_t Word(const Bytes& data, std::size_t at)
{
    return static_cast<std::uint16_t>(data.at(at) << 8 | data.at(at + 1));
}

Bytes Slice(const Bytes& data, std::size_t at, std::size_t length)
{
    if (at + length > data.size()) {
        return {};
    }
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at + length));
}

// A name on the wire: length 32, its letters, the empty scope.
Bytes EncodedLetters(const char* letters)
{
    return Cat({{0x20}, Letters(letters), {0x00}});
}

// "LAYER.PELMOK.CLT": 'L' 4C 'A' 41 'Y' 59 'E' 45 'R' 52 '.' 2E 'P' 50 'E' 45 'L' 4C 'M' 4D
// 'O' 4F 'K' 4B '.' 2E 'C' 43 'L' 4C 'T' 54.
constexpr const char* LAYER_CLIENT = "LAYER.PELMOK.CLT";
const Bytes LAYER_CLIENT_ENCODED = EncodedLetters("EMEBFJEFFCCOFAEFEMENEPELCOEDEMFE");
// "LAYER.ABSENT": 'L' 4C 'A' 41 'Y' 59 'E' 45 'R' 52 '.' 2E 'A' 41 'B' 42 'S' 53 'E' 45
// 'N' 4E 'T' 54, then four zero bytes.
constexpr const char* ABSENT = "LAYER.ABSENT";
const Bytes ABSENT_ENCODED = EncodedLetters("EMEBFJEFFCCOEBECFDEFEOFEAAAAAAAA");

// Checks one of the layer's broadcasts from LANA 0 carrying the owner's record.
void ExpectOwnerRequest(const Received& r, std::uint16_t flags, const Bytes& name)
{
    EXPECT_EQ(r.source, "198.51.100.1") << "sent from the adapter's address";
    EXPECT_NE(r.sourcePort, 137) << "from an ephemeral port";
    ASSERT_EQ(r.data.size(), 68u);
    EXPECT_EQ(Word(r.data, FLAGS), flags);
    EXPECT_EQ(Slice(r.data, QUESTION_NAME, 34), name);
    EXPECT_EQ(Word(r.data, NB_FLAGS), 0x8000) << "a group name of a broadcast node";
    EXPECT_EQ(Slice(r.data, NB_ADDRESS, 4), (Bytes{198, 51, 100, 1}));
}

constexpr std::uint16_t REGISTRATION = 0x2910;     // opcode 5, RD, B
constexpr std::uint16_t OVERWRITE_DEMAND = 0x2810; // opcode 5, B
constexpr std::uint16_t RELEASE = 0x3010;          // opcode 6, B
constexpr std::uint16_t QUERY = 0x0110;            // opcode 0, RD, B

TEST(Adapters, TheLabAdaptersInLanaOrder)
{
    const std::vector<netbios::Adapter> adapters = netbios::ReadAdapters();
    ASSERT_EQ(adapters.size(), 3u);
    for (std::size_t lana = 0; lana < adapters.size(); ++lana) {
        SCOPED_TRACE(lana);
        EXPECT_EQ(adapters[lana].interfaceName, "lana" + std::to_string(lana));
        EXPECT_EQ(adapters[lana].address, 0xC6336401 + 16 * lana); // 198.51.100.16k+1
        EXPECT_EQ(adapters[lana].netmask, 0xFFFFFFF0u);
        EXPECT_EQ(adapters[lana].broadcast, 0xC633640F + 16 * lana); // 198.51.100.16k+15
    }
}

TEST(Commands, UnknownCommandsAndAsynchAreIllegal)
{
    const UCHAR commands[] = {NCBADDNAME,
                              NCBHANGUP,
                              NCBENUM,
                              0x00,
                              0x7F,
                              NCBRESET | ASYNCH,
                              NCBCALL | ASYNCH,
                              NCBADDGRNAME | ASYNCH,
                              NCBDELNAME | ASYNCH};
    for (const UCHAR command : commands) {
        SCOPED_TRACE(static_cast<int>(command));
        EXPECT_EQ(Submit(Command(command, 0, LAYER_CLIENT)).code, NRC_ILLCMD);
    }
}

TEST(Commands, ALanaWithoutAdapterIsBridge)
{
    const UCHAR commands[] = {NCBRESET, NCBADDGRNAME, NCBCALL, NCBDELNAME};
    for (const int lana : {3, 254, 255}) {
        for (const UCHAR command : commands) {
            SCOPED_TRACE(std::to_string(lana) + ", command " + std::to_string(command));
            const Outcome outcome = Submit(Command(command, lana, LAYER_CLIENT, ABSENT));
            EXPECT_EQ(outcome.code, NRC_BRIDGE);
            EXPECT_LT(outcome.took, NO_WAIT) << "no network wait";
        }
    }
}

TEST(Commands, EveryCommandButResetNeedsAReset)
{
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());
    for (const UCHAR command : {NCBADDGRNAME, NCBCALL, NCBDELNAME}) {
        SCOPED_TRACE(static_cast<int>(command));
        EXPECT_EQ(Submit(Command(command, 2, LAYER_CLIENT, ABSENT)).code, NRC_ENVNOTDEF);
    }
    EXPECT_TRUE(listener.Drain().empty()) << "nothing is sent for a refused command";
}

TEST(Commands, AddGroupNameBroadcastsThreeRegistrationsThenAnOverwriteDemand)
{
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());

    const Outcome outcome = Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT));
    EXPECT_EQ(outcome.code, NRC_GOODRET);
    EXPECT_NE(outcome.ncb.ncb_num, 0) << "a name number";
    EXPECT_GE(outcome.took, THREE_INTERVALS) << "registered after 750 ms without objection";
    EXPECT_LT(outcome.took, THREE_INTERVALS + SLACK);

    const std::vector<Received> sent = listener.Drain();
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ExpectOwnerRequest(sent[i], REGISTRATION, LAYER_CLIENT_ENCODED);
        EXPECT_EQ(Word(sent[i].data, 0), Word(sent[0].data, 0)) << "one transaction id";
    }
    ExpectOwnerRequest(sent[3], OVERWRITE_DEMAND, LAYER_CLIENT_ENCODED);

    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
}

TEST(Commands, RegistrationsGoOut250MillisecondsApart)
{
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());
    std::vector<Received> sent;
    // Received as they come, so that their arrival times count.
    std::thread collector([&] {
        Received received;
        while (sent.size() < 4 && listener.Next(received, milliseconds(2000))) {
            sent.push_back(received);
        }
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
    collector.join();
    ASSERT_EQ(sent.size(), 4u);
    const milliseconds expected[] = {milliseconds(0), milliseconds(250), milliseconds(500),
                                     THREE_INTERVALS};
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        const auto at = std::chrono::duration_cast<milliseconds>(sent[i].at - start);
        EXPECT_GE(at, expected[i] - milliseconds(5));
        EXPECT_LT(at, expected[i] + milliseconds(125)) << "on its half of the interval";
    }
    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
}

TEST(Commands, AnObjectionEndsTheRegistrationAtOnce)
{
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());
    // Defends the name as its unique owner would: NEGATIVE NAME REGISTRATION RESPONSE to the
    // first registration.
    std::thread defender([&] {
        Received request;
        if (!listener.Next(request, milliseconds(2000)) || request.data.size() < 46) {
            return;
        }
        Bytes answer = {
            request.data[0],
            request.data[1], // NAME_TRN_ID of the request
            0xAD,
            0x86, // R, OPCODE 5, AA RD RA, RCODE 6 (ACT_ERR)
            0x00,
            0x00,
            0x00,
            0x01, // QDCOUNT 0, ANCOUNT 1
            0x00,
            0x00,
            0x00,
            0x00, // NSCOUNT 0, ARCOUNT 0
        };
        answer.insert(answer.end(), LAYER_CLIENT_ENCODED.begin(), LAYER_CLIENT_ENCODED.end());
        const Bytes record = {
            0x00, 0x20, 0x00, 0x01, // RR_TYPE NB, RR_CLASS IN
            0x00, 0x00, 0x00, 0x00, // TTL
            0x00, 0x06, 0x00, 0x00, // RDLENGTH 6, NB_FLAGS unique
            198,  51,   100,  2,    // NB_ADDRESS of the owner
        };
        answer.insert(answer.end(), record.begin(), record.end());
        listener.Answer(answer, request.source, request.sourcePort);
    });
    const Outcome outcome = Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT));
    defender.join();
    EXPECT_EQ(outcome.code, NRC_INUSE);
    EXPECT_LT(outcome.took, NO_WAIT) << "no waiting after the objection";
    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_NOWILD)
        << "a refused name is not in the table";
}

TEST(Commands, NameTableRules)
{
    ASSERT_EQ(Reset(1, 1), NRC_GOODRET); // room for one name
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());

    EXPECT_EQ(Submit(Command(NCBADDGRNAME, 1, "*SMBSERVER")).code, NRC_NOWILD);
    EXPECT_EQ(Submit(Command(NCBDELNAME, 1, LAYER_CLIENT)).code, NRC_NOWILD);
    EXPECT_EQ(Submit(Command(NCBCALL, 1, LAYER_CLIENT, ABSENT)).code, NRC_NOWILD)
        << "calling from a name that is not in the table";
    EXPECT_TRUE(listener.Drain().empty()) << "none of these sends anything";

    EXPECT_EQ(Submit(Command(NCBADDGRNAME, 1, LAYER_CLIENT)).code, NRC_GOODRET);
    listener.Drain();
    const Outcome duplicate = Submit(Command(NCBADDGRNAME, 1, LAYER_CLIENT));
    EXPECT_EQ(duplicate.code, NRC_DUPNAME);
    EXPECT_LT(duplicate.took, NO_WAIT);
    const Outcome full = Submit(Command(NCBADDGRNAME, 1, "LAYER.OTHER"));
    EXPECT_EQ(full.code, NRC_NAMTFUL);
    EXPECT_LT(full.took, NO_WAIT);
    EXPECT_TRUE(listener.Drain().empty());
    EXPECT_EQ(Submit(Command(NCBDELNAME, 1, LAYER_CLIENT)).code, NRC_GOODRET);
}

TEST(Commands, DeleteNameBroadcastsOneReleaseAndWaitsForNothing)
{
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    ASSERT_EQ(Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());

    const Outcome outcome = Submit(Command(NCBDELNAME, 0, LAYER_CLIENT));
    EXPECT_EQ(outcome.code, NRC_GOODRET);
    EXPECT_LT(outcome.took, NO_WAIT);
    Received release;
    ASSERT_TRUE(listener.Next(release, milliseconds(500)));
    ExpectOwnerRequest(release, RELEASE, LAYER_CLIENT_ENCODED);
    EXPECT_FALSE(listener.Next(release, milliseconds(300))) << "released once";
    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_NOWILD) << "gone";
}

TEST(Commands, ResetReleasesTheAdaptersNames)
{
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    ASSERT_EQ(Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());

    EXPECT_EQ(Reset(0), NRC_GOODRET);
    Received release;
    ASSERT_TRUE(listener.Next(release, milliseconds(500)));
    ExpectOwnerRequest(release, RELEASE, LAYER_CLIENT_ENCODED);
    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_NOWILD);
}

TEST(Commands, CallingAnAbsentNameQueriesThreeTimesThenGivesUp)
{
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    ASSERT_EQ(Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());

    const Outcome outcome = Submit(Command(NCBCALL, 0, LAYER_CLIENT, ABSENT));
    EXPECT_EQ(outcome.code, NRC_NOCALL);
    EXPECT_EQ(outcome.ncb.ncb_lsn, 0) << "no session";
    EXPECT_GE(outcome.took, THREE_INTERVALS);
    EXPECT_LT(outcome.took, THREE_INTERVALS + SLACK);

    const std::vector<Received> sent = listener.Drain();
    ASSERT_EQ(sent.size(), 3u);
    for (const Received& query : sent) {
        EXPECT_EQ(query.source, "198.51.100.1");
        ASSERT_EQ(query.data.size(), 50u);
        EXPECT_EQ(Word(query.data, FLAGS), QUERY);
        EXPECT_EQ(Slice(query.data, QUESTION_NAME, 34), ABSENT_ENCODED);
    }
    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
}

TEST(Commands, SessionsStayOpenUntilReset)
{
    NCB reset = Command(NCBRESET, 0);
    reset.ncb_callname[0] = 1; // room for one session
    ASSERT_EQ(Submit(reset).code, NRC_GOODRET);
    ASSERT_EQ(Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);

    const Outcome call = Submit(Command(NCBCALL, 0, LAYER_CLIENT, "LAYER.SERVER"));
    EXPECT_EQ(call.code, NRC_GOODRET);
    EXPECT_NE(call.ncb.ncb_lsn, 0) << "a local session number";
    EXPECT_LT(call.took, NO_WAIT) << "the query ends at the station's answer";

    NameServiceListener listener;
    ASSERT_TRUE(listener.Bound());
    const Outcome full = Submit(Command(NCBCALL, 0, LAYER_CLIENT, "LAYER.SERVER"));
    EXPECT_EQ(full.code, NRC_LOCTFUL);
    EXPECT_TRUE(listener.Drain().empty()) << "no query for a call that cannot be held";

    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_ACTSES)
        << "deleted, with its session still open";
    Received release;
    ASSERT_TRUE(listener.Next(release, milliseconds(500)));
    ExpectOwnerRequest(release, RELEASE, LAYER_CLIENT_ENCODED);
    EXPECT_EQ(Submit(Command(NCBDELNAME, 0, LAYER_CLIENT)).code, NRC_NOWILD);

    // The reset closes the session: the one session allowed can be opened again.
    ASSERT_EQ(Submit(reset).code, NRC_GOODRET);
    ASSERT_EQ(Submit(Command(NCBADDGRNAME, 0, LAYER_CLIENT)).code, NRC_GOODRET);
    EXPECT_EQ(Submit(Command(NCBCALL, 0, LAYER_CLIENT, "LAYER.SERVER")).code, NRC_GOODRET);
    ASSERT_EQ(Reset(0), NRC_GOODRET);
}

TEST(Commands, ARetargetToLoopbackIsNotFollowed)
{
    // Port 139 of the client's own loopback, where the retarget points: it must see nothing.
    const int loopback = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(loopback, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(139);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(loopback, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(loopback, 4), 0);

    ASSERT_EQ(Reset(1), NRC_GOODRET);
    ASSERT_EQ(Submit(Command(NCBADDGRNAME, 1, LAYER_CLIENT)).code, NRC_GOODRET);
    const Outcome call = Submit(Command(NCBCALL, 1, LAYER_CLIENT, "LAYER.RETARGET"));
    EXPECT_EQ(call.code, NRC_NOCALL);
    EXPECT_EQ(call.ncb.ncb_lsn, 0);
    pollfd pending{loopback, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0) << "a connection reached the loopback";
    ::close(loopback);
    EXPECT_EQ(Submit(Command(NCBDELNAME, 1, LAYER_CLIENT)).code, NRC_GOODRET);
}

} // namespace
