// Session packets: the SESSION REQUEST on the wire, and the answers a caller tells apart.
#include <gtest/gtest.h>

#include <cstring>

#include "bytes.h"
#include "codec/session_packets.h"

namespace {

using namespace netbios;
using netbios_test::Bytes;
using netbios_test::Cat;
using netbios_test::Letters;
using netbios_test::Prefix;
using netbios_test::Raw;

// "ABC.COMMAND.SRV\0" and "ABC.PELMOK.CLT\0\0", each as length 32, letters, empty scope.
const Bytes SERVER_ENCODED = Cat({{0x20}, Letters("EBECEDCOEDEPENENEBEOEECOFDFCFGAA"), {0x00}});
const Bytes CLIENT_ENCODED = Cat({{0x20}, Letters("EBECEDCOFAEFEMENEPELCOEDEMFEAAAA"), {0x00}});

TEST(SessionPackets, SessionRequest)
{
    const Bytes expected = Cat({
        {0x81},         // TYPE: SESSION REQUEST
        {0x00},         // FLAGS
        {0x00, 0x44},   // LENGTH 68: two encoded names of 34 bytes
        SERVER_ENCODED, // CALLED_NAME
        CLIENT_ENCODED, // CALLING_NAME
    });
    EXPECT_EQ(SessionRequest(Raw("ABC.COMMAND.SRV"), Raw("ABC.PELMOK.CLT")), expected);
}

struct Expected {
    SessionResponseKind kind;
    std::uint8_t errorCode;
    Ipv4Address retargetAddress;
    std::uint16_t retargetPort;
};

struct AnswerCase {
    const char* label;
    Bytes packet;
    Expected expected;
};

const AnswerCase ANSWERS[] = {
    {"positive",
     Cat({
         {0x82},      // TYPE: POSITIVE SESSION RESPONSE
         {0x00},      // FLAGS
         {0x00, 0x00} // LENGTH 0
     }),
     {SessionResponseKind::Positive, 0, 0, 0}},
    {"negative, insufficient resources",
     Cat({
         {0x83},       // TYPE: NEGATIVE SESSION RESPONSE
         {0x00},       // FLAGS
         {0x00, 0x01}, // LENGTH 1
         {0x83}        // ERROR_CODE: called name present, insufficient resources
     }),
     {SessionResponseKind::Negative, 0x83, 0, 0}},
    {"negative, not listening on called name",
     Cat({
         {0x83, 0x00, 0x00, 0x01}, // NEGATIVE SESSION RESPONSE, LENGTH 1
         {0x80}                    // ERROR_CODE: not listening on called name
     }),
     {SessionResponseKind::Negative, 0x80, 0, 0}},
    {"retarget",
     Cat({
         {0x84},                   // TYPE: RETARGET SESSION RESPONSE
         {0x00},                   // FLAGS
         {0x00, 0x06},             // LENGTH 6
         {0xC6, 0x33, 0x64, 0x22}, // RETARGET_IP_ADDRESS 198.51.100.34
         {0x01, 0xBD}              // PORT 445
     }),
     {SessionResponseKind::Retarget, 0, 0xC6336422, 445}},
    {"keep-alive",
     Cat({
         {0x85},      // TYPE: SESSION KEEP ALIVE
         {0x00},      // FLAGS
         {0x00, 0x00} // LENGTH 0
     }),
     {SessionResponseKind::KeepAlive, 0, 0, 0}},
};

TEST(SessionPackets, ParsesEachAnswer)
{
    for (const AnswerCase& c : ANSWERS) {
        SCOPED_TRACE(c.label);
        const SessionParseResult result = ParseSessionResponse(c.packet);
        ASSERT_EQ(result.status, SessionParseStatus::Complete);
        EXPECT_EQ(result.response.kind, c.expected.kind);
        EXPECT_EQ(result.response.errorCode, c.expected.errorCode);
        EXPECT_EQ(result.response.retargetAddress, c.expected.retargetAddress);
        EXPECT_EQ(result.response.retargetPort, c.expected.retargetPort);
        EXPECT_EQ(result.response.length, c.packet.size());
    }
}

TEST(SessionPackets, EveryTruncatedAnswerIsIncomplete)
{
    for (const AnswerCase& c : ANSWERS) {
        for (std::size_t length = 0; length < c.packet.size(); ++length) {
            SCOPED_TRACE(std::string(c.label) + ", " + std::to_string(length) + " bytes");
            EXPECT_EQ(ParseSessionResponse(Prefix(c.packet, length)).status,
                      SessionParseStatus::Incomplete);
        }
    }
}

TEST(SessionPackets, OnlyTheFirstPacketIsTaken)
{
    // A keep-alive, then a positive response, in one read.
    const Bytes both = {0x85, 0x00, 0x00, 0x00, 0x82, 0x00, 0x00, 0x00};
    const SessionParseResult result = ParseSessionResponse(both);
    ASSERT_EQ(result.status, SessionParseStatus::Complete);
    EXPECT_EQ(result.response.kind, SessionResponseKind::KeepAlive);
    EXPECT_EQ(result.response.length, 4u);
}

TEST(SessionPackets, MalformedAnswers)
{
    struct Case {
        const char* label;
        Bytes packet;
    };
    const Case cases[] = {
        {"session message", {0x00, 0x00, 0x00, 0x00}},
        {"a session request", {0x81}},
        {"unknown type 0x86", {0x86, 0x00, 0x00, 0x00}},
        {"positive with LENGTH 1", {0x82, 0x00, 0x00, 0x01, 0x00}},
        {"negative with LENGTH 0", {0x83, 0x00, 0x00, 0x00}},
        {"negative with LENGTH 2", {0x83, 0x00, 0x00, 0x02, 0x83, 0x00}},
        {"retarget with LENGTH 4", {0x84, 0x00, 0x00, 0x04, 0xC6, 0x33, 0x64, 0x22}},
        {"keep-alive with the length extension bit", {0x85, 0x01, 0x00, 0x00}},
        {"HTTP", {'H', 'T', 'T', 'P'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ParseSessionResponse(c.packet).status, SessionParseStatus::Malformed);
    }
}

} // namespace
