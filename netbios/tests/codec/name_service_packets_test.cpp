// Name service packets as they go on the wire, and which received datagrams count.
#include <gtest/gtest.h>

#include <cstring>

#include "bytes.h"
#include "codec/name_service_packets.h"

namespace {

using namespace netbios;
using netbios_test::Bytes;
using netbios_test::Cat;
using netbios_test::Letters;
using netbios_test::Prefix;
using netbios_test::Raw;

const NetbiosName CLIENT = Raw("ABC.PELMOK.CLT");  // two zero bytes at the end
const NetbiosName SERVER = Raw("ABC.COMMAND.SRV"); // one zero byte at the end
constexpr Ipv4Address OWNER = 0xC6336401;          // 198.51.100.1

// "ABC.PELMOK.CLT\0\0" and "ABC.COMMAND.SRV\0", each as length 32, letters, empty scope.
const Bytes CLIENT_ENCODED = Cat({{0x20}, Letters("EBECEDCOFAEFEMENEPELCOEDEMFEAAAA"), {0x00}});
const Bytes SERVER_ENCODED = Cat({{0x20}, Letters("EBECEDCOEDEPENENEBEOEECOFDFCFGAA"), {0x00}});

// The question and the owner's record shared by registration, overwrite and release.
Bytes OwnerRequestBody()
{
    return Cat({
        {0x00, 0x01},             // QDCOUNT 1
        {0x00, 0x00},             // ANCOUNT 0
        {0x00, 0x00},             // NSCOUNT 0
        {0x00, 0x01},             // ARCOUNT 1
        CLIENT_ENCODED,           // QUESTION_NAME
        {0x00, 0x20},             // QUESTION_TYPE NB
        {0x00, 0x01},             // QUESTION_CLASS IN
        {0xC0, 0x0C},             // RR_NAME: pointer to the question name at offset 12
        {0x00, 0x20},             // RR_TYPE NB
        {0x00, 0x01},             // RR_CLASS IN
        {0x00, 0x00, 0x00, 0x00}, // TTL 0
        {0x00, 0x06},             // RDLENGTH: one address entry
        {0x80, 0x00},             // NB_FLAGS: G (group), ONT 00 (B node)
        {0xC6, 0x33, 0x64, 0x01}, // NB_ADDRESS 198.51.100.1
    });
}

TEST(NameServicePackets, NameRegistrationRequestForAGroup)
{
    const Bytes expected = Cat({
        {0x12, 0x34}, // NAME_TRN_ID
        {0x29, 0x10}, // R 0, OPCODE 5 (registration), NM_FLAGS RD and B, RCODE 0
        OwnerRequestBody(),
    });
    EXPECT_EQ(NameRegistrationRequest(0x1234, CLIENT, NameKind::Group, OWNER), expected);
}

TEST(NameServicePackets, NameOverwriteDemandForAGroup)
{
    const Bytes expected = Cat({
        {0x12, 0x34}, // NAME_TRN_ID
        {0x28, 0x10}, // R 0, OPCODE 5 (registration), NM_FLAGS B only (no RD: a demand)
        OwnerRequestBody(),
    });
    EXPECT_EQ(NameOverwriteDemand(0x1234, CLIENT, NameKind::Group, OWNER), expected);
}

TEST(NameServicePackets, NameReleaseRequestForAGroup)
{
    const Bytes expected = Cat({
        {0xBE, 0xEF}, // NAME_TRN_ID
        {0x30, 0x10}, // R 0, OPCODE 6 (release), NM_FLAGS B, RCODE 0
        OwnerRequestBody(),
    });
    EXPECT_EQ(NameReleaseRequest(0xBEEF, CLIENT, NameKind::Group, OWNER), expected);
}

TEST(NameServicePackets, UniqueNamesCarryNoGroupBit)
{
    const Bytes packet = NameRegistrationRequest(0x1234, CLIENT, NameKind::Unique, OWNER);
    ASSERT_EQ(packet.size(), 68u);
    EXPECT_EQ(packet[62], 0x00) << "NB_FLAGS: G clear, ONT 00";
    EXPECT_EQ(packet[63], 0x00);
}

TEST(NameServicePackets, NameQueryRequest)
{
    const Bytes expected = Cat({
        {0x0F, 0x0E},   // NAME_TRN_ID
        {0x01, 0x10},   // R 0, OPCODE 0 (query), NM_FLAGS RD and B, RCODE 0
        {0x00, 0x01},   // QDCOUNT 1
        {0x00, 0x00},   // ANCOUNT 0
        {0x00, 0x00},   // NSCOUNT 0
        {0x00, 0x00},   // ARCOUNT 0
        SERVER_ENCODED, // QUESTION_NAME
        {0x00, 0x20},   // QUESTION_TYPE NB
        {0x00, 0x01},   // QUESTION_CLASS IN
    });
    EXPECT_EQ(NameQueryRequest(0x0F0E, SERVER), expected);
}

// A POSITIVE NAME QUERY RESPONSE for the server name with one address, 198.51.100.18.
const Bytes POSITIVE_QUERY_RESPONSE = Cat({
    {0x0F, 0x0E},             // NAME_TRN_ID
    {0x85, 0x00},             // R 1, OPCODE 0 (query), NM_FLAGS AA and RD, RCODE 0
    {0x00, 0x00},             // QDCOUNT 0
    {0x00, 0x01},             // ANCOUNT 1
    {0x00, 0x00},             // NSCOUNT 0
    {0x00, 0x00},             // ARCOUNT 0
    SERVER_ENCODED,           // RR_NAME
    {0x00, 0x20},             // RR_TYPE NB
    {0x00, 0x01},             // RR_CLASS IN
    {0x00, 0x04, 0x93, 0xE0}, // TTL 300000 s
    {0x00, 0x06},             // RDLENGTH: one entry
    {0x00, 0x00},             // NB_FLAGS: unique, B node
    {0xC6, 0x33, 0x64, 0x12}, // NB_ADDRESS 198.51.100.18
});

// The same answer for a multihomed server: two entries, 203.0.113.5 and 198.51.100.18,
// after a copy of the question, which the answer names by pointer.
const Bytes TWO_ADDRESS_RESPONSE_WITH_QUESTION = Cat({
    {0x0F, 0x0E},             // NAME_TRN_ID
    {0x85, 0x00},             // R 1, OPCODE 0, AA RD, RCODE 0
    {0x00, 0x01},             // QDCOUNT 1
    {0x00, 0x01},             // ANCOUNT 1
    {0x00, 0x00},             // NSCOUNT 0
    {0x00, 0x00},             // ARCOUNT 0
    SERVER_ENCODED,           // QUESTION_NAME at offset 12
    {0x00, 0x20},             // QUESTION_TYPE NB
    {0x00, 0x01},             // QUESTION_CLASS IN
    {0xC0, 0x0C},             // RR_NAME: pointer to offset 12
    {0x00, 0x20},             // RR_TYPE NB
    {0x00, 0x01},             // RR_CLASS IN
    {0x00, 0x00, 0x00, 0x00}, // TTL
    {0x00, 0x0C},             // RDLENGTH: two entries
    {0x00, 0x00},             // NB_FLAGS
    {0xCB, 0x00, 0x71, 0x05}, // NB_ADDRESS 203.0.113.5
    {0x00, 0x00},             // NB_FLAGS
    {0xC6, 0x33, 0x64, 0x12}, // NB_ADDRESS 198.51.100.18
});

// A NEGATIVE NAME REGISTRATION RESPONSE from the owner of the client name as a unique name.
const Bytes NEGATIVE_REGISTRATION_RESPONSE = Cat({
    {0x12, 0x34},             // NAME_TRN_ID
    {0xAD, 0x86},             // R 1, OPCODE 5, NM_FLAGS AA RD RA, RCODE 6 (ACT_ERR)
    {0x00, 0x00},             // QDCOUNT 0
    {0x00, 0x01},             // ANCOUNT 1
    {0x00, 0x00},             // NSCOUNT 0
    {0x00, 0x00},             // ARCOUNT 0
    CLIENT_ENCODED,           // RR_NAME
    {0x00, 0x20},             // RR_TYPE NB
    {0x00, 0x01},             // RR_CLASS IN
    {0x00, 0x00, 0x00, 0x00}, // TTL 0
    {0x00, 0x06},             // RDLENGTH
    {0x00, 0x00},             // NB_FLAGS: unique, B node
    {0xC6, 0x33, 0x64, 0x02}, // NB_ADDRESS 198.51.100.2 (the owner)
});

TEST(NameServicePackets, ParsesPositiveNameQueryResponses)
{
    EXPECT_EQ(ParsePositiveNameQueryResponse(POSITIVE_QUERY_RESPONSE, 0x0F0E, SERVER),
              std::vector<Ipv4Address>{0xC6336412});
    EXPECT_EQ(ParsePositiveNameQueryResponse(TWO_ADDRESS_RESPONSE_WITH_QUESTION, 0x0F0E, SERVER),
              (std::vector<Ipv4Address>{0xCB007105, 0xC6336412}));
}

TEST(NameServicePackets, ParsesNegativeNameRegistrationResponses)
{
    EXPECT_EQ(ParseNegativeNameRegistrationResponse(NEGATIVE_REGISTRATION_RESPONSE, 0x1234, CLIENT),
              6);
}

// `bytes` with the byte at `offset` replaced.
Bytes With(Bytes bytes, std::size_t offset, std::uint8_t value)
{
    bytes.at(offset) = value;
    return bytes;
}

TEST(NameServicePackets, QueryAnswersThatDoNotCount)
{
    Bytes padded577 = POSITIVE_QUERY_RESPONSE;
    padded577.resize(577, 0x00);
    // A pointer forward: RR_NAME at offset 12 points to offset 30, where the name follows the
    // record's fixed fields and its one entry.
    const Bytes forwardPointer = Cat({
        Prefix(POSITIVE_QUERY_RESPONSE, 12),              // header: QDCOUNT 0, ANCOUNT 1
        {0xC0, 0x1E},                                     // RR_NAME: pointer to offset 30
        {0x00, 0x20, 0x00, 0x01},                         // RR_TYPE NB, RR_CLASS IN
        {0x00, 0x00, 0x00, 0x00},                         // TTL
        {0x00, 0x06, 0x00, 0x00, 0xC6, 0x33, 0x64, 0x12}, // RDLENGTH, one entry
        SERVER_ENCODED,                                   // the name, at offset 30
    });
    // RR_NAME at offset 12 points to offset 12: itself.
    const Bytes selfPointer = Cat({
        Prefix(POSITIVE_QUERY_RESPONSE, 12),              // header: QDCOUNT 0, ANCOUNT 1
        {0xC0, 0x0C},                                     // RR_NAME: pointer to offset 12
        {0x00, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, // RR_TYPE, RR_CLASS, TTL
        {0x00, 0x06, 0x00, 0x00, 0xC6, 0x33, 0x64, 0x12}, // RDLENGTH, one entry
    });
    // A second question at offset 50 points to the first; the answer points to the second.
    const Bytes pointerToPointer = Cat({
        {0x0F, 0x0E, 0x85, 0x00},                         // NAME_TRN_ID, flags as above
        {0x00, 0x02},                                     // QDCOUNT 2
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x00},             // ANCOUNT 1, NSCOUNT, ARCOUNT
        SERVER_ENCODED,                                   // question name at offset 12
        {0x00, 0x20, 0x00, 0x01},                         // QUESTION_TYPE, QUESTION_CLASS
        {0xC0, 0x0C},                                     // question name at 50: pointer to 12
        {0x00, 0x20, 0x00, 0x01},                         // QUESTION_TYPE, QUESTION_CLASS
        {0xC0, 0x32},                                     // RR_NAME: pointer to offset 50
        {0x00, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, // RR_TYPE, RR_CLASS, TTL
        {0x00, 0x06, 0x00, 0x00, 0xC6, 0x33, 0x64, 0x12}, // RDLENGTH, one entry
        Bytes(16, 0x00), // so that 34 bytes follow offset 50: only the pointer rule rejects
    });

    struct Case {
        const char* label;
        Bytes datagram;
    };
    const Case cases[] = {
        {"other transaction id", With(POSITIVE_QUERY_RESPONSE, 1, 0x0F)},
        {"a request, not a response", With(POSITIVE_QUERY_RESPONSE, 2, 0x05)},
        {"registration opcode", With(POSITIVE_QUERY_RESPONSE, 2, 0xAD)},
        {"negative (RCODE 3)", With(POSITIVE_QUERY_RESPONSE, 3, 0x03)},
        {"no answer record", With(POSITIVE_QUERY_RESPONSE, 7, 0x00)},
        {"other name (last letter B)", With(POSITIVE_QUERY_RESPONSE, 44, 'B')},
        {"name letter out of range", With(POSITIVE_QUERY_RESPONSE, 13, 'Z')},
        {"type NBSTAT", With(POSITIVE_QUERY_RESPONSE, 47, 0x21)},
        {"class 2", With(POSITIVE_QUERY_RESPONSE, 49, 0x02)},
        {"RDLENGTH 5", With(POSITIVE_QUERY_RESPONSE, 55, 0x05)},
        {"RDLENGTH 0", With(POSITIVE_QUERY_RESPONSE, 55, 0x00)},
        {"RDLENGTH 7, seven bytes there", Cat({With(POSITIVE_QUERY_RESPONSE, 55, 0x07), {0x00}})},
        {"577 bytes", padded577},
        {"forward pointer", forwardPointer},
        {"pointer onto itself", selfPointer},
        {"pointer to a pointer", pointerToPointer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(ParsePositiveNameQueryResponse(c.datagram, 0x0F0E, SERVER).has_value());
    }
    EXPECT_FALSE(ParsePositiveNameQueryResponse(POSITIVE_QUERY_RESPONSE, 0x0F0E, CLIENT))
        << "an answer for another name";
}

TEST(NameServicePackets, TrailingBytesUpTo576AreAllowed)
{
    Bytes padded576 = POSITIVE_QUERY_RESPONSE;
    padded576.resize(MAX_DATAGRAM_LENGTH, 0x00);
    EXPECT_TRUE(ParsePositiveNameQueryResponse(padded576, 0x0F0E, SERVER).has_value());
}

TEST(NameServicePackets, RegistrationAnswersThatDoNotCount)
{
    struct Case {
        const char* label;
        Bytes datagram;
    };
    const Case cases[] = {
        {"other transaction id", With(NEGATIVE_REGISTRATION_RESPONSE, 0, 0x13)},
        {"a request, not a response", With(NEGATIVE_REGISTRATION_RESPONSE, 2, 0x2D)},
        {"release opcode", With(NEGATIVE_REGISTRATION_RESPONSE, 2, 0xB5)},
        {"positive (RCODE 0)", With(NEGATIVE_REGISTRATION_RESPONSE, 3, 0x80)},
        {"other name (first letter F)", With(NEGATIVE_REGISTRATION_RESPONSE, 13, 'F')},
        {"a query response", POSITIVE_QUERY_RESPONSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(ParseNegativeNameRegistrationResponse(c.datagram, 0x1234, CLIENT));
    }
}

TEST(NameServicePackets, EveryTruncatedResponseIsRejected)
{
    const Bytes* responses[] = {&POSITIVE_QUERY_RESPONSE, &TWO_ADDRESS_RESPONSE_WITH_QUESTION};
    for (const Bytes* response : responses) {
        for (std::size_t length = 0; length < response->size(); ++length) {
            SCOPED_TRACE(length);
            EXPECT_FALSE(ParsePositiveNameQueryResponse(Prefix(*response, length), 0x0F0E, SERVER));
        }
    }
    for (std::size_t length = 0; length < NEGATIVE_REGISTRATION_RESPONSE.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(ParseNegativeNameRegistrationResponse(
            Prefix(NEGATIVE_REGISTRATION_RESPONSE, length), 0x1234, CLIENT));
    }
}

} // namespace
