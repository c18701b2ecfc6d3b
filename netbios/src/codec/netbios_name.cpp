#include "codec/netbios_name.h"

namespace netbios {

namespace {

constexpr std::uint8_t POINTER_MARK = 0xC0; // top two bits of a compression pointer

// The name whose encoded bytes start at `offset` of the reader's bytes; fails `reader` if
// no valid encoded name is there.
NetbiosName DecodeNameAt(ByteReader& reader, std::size_t offset)
{
    ByteReader there = reader.At(offset);
    const std::optional<NetbiosName> name = DecodeName(there.ReadBytes(ENCODED_NAME_LENGTH));
    if (!name || !there.Ok()) {
        reader.Fail();
        return {};
    }
    return *name;
}

} // namespace

EncodedName EncodeName(const NetbiosName& name)
{
    EncodedName encoded{};
    encoded[0] = ENCODED_LABEL_LENGTH;
    for (std::size_t i = 0; i < name.size(); ++i) {
        encoded[1 + 2 * i] = static_cast<std::uint8_t>('A' + (name[i] >> 4));
        encoded[2 + 2 * i] = static_cast<std::uint8_t>('A' + (name[i] & 0x0F));
    }
    encoded[ENCODED_NAME_LENGTH - 1] = 0;
    return encoded;
}

std::optional<NetbiosName> DecodeName(std::span<const std::uint8_t> encoded)
{
    if (encoded.size() != ENCODED_NAME_LENGTH || encoded.front() != ENCODED_LABEL_LENGTH ||
        encoded.back() != 0) {
        return std::nullopt;
    }
    NetbiosName name{};
    for (std::size_t i = 0; i < ENCODED_LABEL_LENGTH; ++i) {
        const std::uint8_t letter = encoded[1 + i];
        if (letter < 'A' || letter > 'P') {
            return std::nullopt;
        }
        const auto half = static_cast<std::uint8_t>(letter - 'A');
        name[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? half << 4 : name[i / 2] | half);
    }
    return name;
}

void WriteName(ByteWriter& writer, const NetbiosName& name)
{
    writer.WriteBytes(EncodeName(name));
}

NetbiosName ReadName(ByteReader& reader)
{
    const std::size_t start = reader.Offset();
    const std::uint8_t first = reader.ReadU8();
    if ((first & POINTER_MARK) == POINTER_MARK) {
        const std::size_t target = std::size_t{first & 0x3Fu} << 8 | reader.ReadU8();
        if (target >= start) {
            reader.Fail(); // forward or onto itself: could loop
            return {};
        }
        // The target must be the name itself: a second pointer is not followed.
        return DecodeNameAt(reader, target);
    }
    const NetbiosName name = DecodeNameAt(reader, start);
    reader.Skip(ENCODED_NAME_LENGTH - 1); // a no-op once the reader has failed
    return name;
}

} // namespace netbios
