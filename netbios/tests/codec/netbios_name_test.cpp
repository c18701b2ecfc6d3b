// First-level encoding of NetBIOS names, and reading names (or pointers to them) in packets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bytes.h"
#include "codec/netbios_name.h"

namespace {

using netbios::DecodeName;
using netbios::EncodeName;
using netbios::NetbiosName;
using netbios_test::Bytes;
using netbios_test::Cat;
using netbios_test::Letters;
using netbios_test::Raw;

struct EncodingCase {
    const char* label;
    NetbiosName raw;
    const char* letters; // the 32 letters, each half-byte as 'A' + its value
};

const EncodingCase ENCODINGS[] = {
    // Blank-padded, as in the RFC 1001 example.
    {"FRED blank-padded", Raw("FRED            "), "EGFCEFEECACACACACACACACACACACACA"},
    // 'A' 41, 'B' 42, 'C' 43, '.' 2E, 'P' 50, 'E' 45, 'L' 4C, 'M' 4D, 'O' 4F, 'K' 4B,
    // '.' 2E, 'C' 43, 'L' 4C, 'T' 54, then two zero bytes: AA AA, not blanks (CA).
    {"zero-padded", Raw("ABC.PELMOK.CLT"), "EBECEDCOFAEFEMENEPELCOEDEMFEAAAA"},
    // Sixteen characters and no zero byte at all: 'D' 44, 'S' 53, 'R' 52, 'V' 56.
    {"16 bytes, no zero", Raw("ABCD.COMMAND.SRV"), "EBECEDEECOEDEPENENEBEOEECOFDFCFG"},
    {"every half-byte value",
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32,
      0x10},
     "ABCDEFGHIJKLMNOPPONMLKJIHGFEDCBA"},
};

Bytes Encoded(const char* letters)
{
    return Cat({{0x20}, Letters(letters), {0x00}}); // label length 32, letters, empty scope
}

TEST(NetbiosName, EncodesEachHalfByteAsALetter)
{
    for (const EncodingCase& c : ENCODINGS) {
        SCOPED_TRACE(c.label);
        const auto encoded = EncodeName(c.raw);
        EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), Encoded(c.letters));
    }
}

TEST(NetbiosName, DecodesTheSameVectors)
{
    for (const EncodingCase& c : ENCODINGS) {
        SCOPED_TRACE(c.label);
        const auto decoded = DecodeName(Encoded(c.letters));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, c.raw);
    }
}

TEST(NetbiosName, DecodingIsStrict)
{
    const std::string good = "EBECEDCOFAEFEMENEPELCOEDEMFEAAAA";
    struct Case {
        const char* label;
        Bytes encoded;
    };
    const Case cases[] = {
        {"letter after P", Cat({{0x20}, Letters("QBECEDCOFAEFEMENEPELCOEDEMFEAAAA"), {0x00}})},
        {"lower-case letter", Cat({{0x20}, Letters("eBECEDCOFAEFEMENEPELCOEDEMFEAAAA"), {0x00}})},
        {"letter before A", Cat({{0x20}, Letters("@BECEDCOFAEFEMENEPELCOEDEMFEAAAA"), {0x00}})},
        {"label length 31", Cat({{0x1F}, Letters("BECEDCOFAEFEMENEPELCOEDEMFEAAAA"), {0x00}})},
        {"label length 33 with 33 letters",
         Cat({{0x21}, Letters("EBECEDCOFAEFEMENEPELCOEDEMFEAAAAA"), {0x00}})},
        {"a scope label", Cat({{0x20}, Letters(good), {0x03}, Letters("NET"), {0x00}})},
        {"no end of name", Cat({{0x20}, Letters(good)})},
        {"nothing", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(DecodeName(c.encoded).has_value());
    }
}

// A packet holding one encoded name at offset 2, then the field under test at offset 36.
Bytes NameThenField(const Bytes& field)
{
    return Cat({{0xEE, 0xEE}, Encoded("EBECEDCOFAEFEMENEPELCOEDEMFEAAAA"), field});
}

TEST(NetbiosName, ReadNameFollowsOneBackwardPointer)
{
    const Bytes packet = NameThenField({0xC0, 0x02}); // pointer to offset 2
    netbios::ByteReader reader(packet);
    reader.Skip(36);
    EXPECT_EQ(netbios::ReadName(reader), Raw("ABC.PELMOK.CLT"));
    EXPECT_TRUE(reader.Ok());
    EXPECT_EQ(reader.Offset(), 38u) << "the pointer's two bytes are consumed, no more";
}

TEST(NetbiosName, ReadNameReadsAnInlineName)
{
    const Bytes packet = NameThenField({0x77});
    netbios::ByteReader reader(packet);
    reader.Skip(2);
    EXPECT_EQ(netbios::ReadName(reader), Raw("ABC.PELMOK.CLT"));
    EXPECT_EQ(reader.Offset(), 36u);
    EXPECT_EQ(reader.ReadU8(), 0x77);
}

TEST(NetbiosName, ReadNameRejectsPointersThatCouldLoop)
{
    struct Case {
        const char* label;
        Bytes packet;
        std::size_t at;
    };
    const Case cases[] = {
        // At offset 0 a pointer to offset 2, where the name is: forward.
        {"forward", Cat({{0xC0, 0x02}, Encoded("EBECEDCOFAEFEMENEPELCOEDEMFEAAAA")}), 0},
        {"onto itself", NameThenField({0xC0, 0x24}), 36},
        // Offset 36 points to 38, which points back to the name: the first one is forward.
        {"pointer to a later pointer", NameThenField({0xC0, 0x26, 0xC0, 0x02}), 36},
        // Offset 38 points to 36, itself a pointer: followed at most once.
        {"pointer to a pointer",
         NameThenField(Cat({{0xC0, 0x02, 0xC0, 0x24}, Letters(std::string(32, 'A'))})), 38},
        {"pointer into the letters", NameThenField({0xC0, 0x03}), 36},
        {"pointer cut short", NameThenField({0xC0}), 36},
        {"reserved label bits 10", NameThenField({0x80, 0x02}), 36},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        netbios::ByteReader reader(c.packet);
        reader.Skip(c.at);
        netbios::ReadName(reader);
        EXPECT_FALSE(reader.Ok());
    }
}

} // namespace
