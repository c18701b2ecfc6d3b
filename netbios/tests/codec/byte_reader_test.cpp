// The reader every received byte goes through: big-endian fields, and a failure that sticks.
#include <gtest/gtest.h>

#include "bytes.h"
#include "codec/byte_reader.h"

namespace {

using netbios::ByteReader;
using netbios_test::Bytes;

TEST(ByteReader, ReadsFieldsInNetworkOrder)
{
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.ReadU8(), 0x01);
    EXPECT_EQ(reader.ReadU16(), 0x0203);
    EXPECT_EQ(reader.ReadU32(), 0x04050607u);
    EXPECT_TRUE(reader.Ok());
    EXPECT_EQ(reader.Offset(), 7u);
}

TEST(ByteReader, FailureSticksAndYieldsZeros)
{
    const Bytes bytes = {0xAA, 0xBB, 0xCC};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.ReadU16(), 0xAABB);
    EXPECT_EQ(reader.ReadU16(), 0) << "one byte left: a 16-bit field does not fit";
    EXPECT_FALSE(reader.Ok());
    EXPECT_EQ(reader.ReadU8(), 0) << "the byte that is left is not read after a failure";
    EXPECT_TRUE(reader.ReadBytes(1).empty());
    EXPECT_FALSE(reader.Ok());
}

TEST(ByteReader, ReadBytesAndSkipStopAtTheEnd)
{
    const Bytes bytes = {1, 2, 3, 4};
    ByteReader reader(bytes);
    reader.Skip(1);
    const auto two = reader.ReadBytes(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], 2);
    EXPECT_EQ(two[1], 3);
    reader.Skip(2);
    EXPECT_FALSE(reader.Ok());
}

TEST(ByteReader, AtPlacesAReaderOverTheSameBytes)
{
    const Bytes bytes = {9, 8, 7};
    const ByteReader reader(bytes);
    ByteReader placed = reader.At(2);
    EXPECT_EQ(placed.ReadU8(), 7);
    EXPECT_TRUE(placed.Ok());
    EXPECT_TRUE(reader.At(3).Ok()) << "the end itself is a place, with nothing to read";
    EXPECT_FALSE(reader.At(4).Ok());
}

} // namespace
