#include "codec/byte_reader.h"

namespace netbios {

const std::uint8_t* ByteReader::Take(std::size_t count)
{
    if (!ok_ || count > bytes_.size() - offset_) {
        ok_ = false;
        return nullptr;
    }
    const std::uint8_t* start = bytes_.data() + offset_;
    offset_ += count;
    return start;
}

std::uint8_t ByteReader::ReadU8()
{
    const std::uint8_t* p = Take(1);
    return p ? p[0] : 0;
}

std::uint16_t ByteReader::ReadU16()
{
    const std::uint8_t* p = Take(2);
    return p ? static_cast<std::uint16_t>(p[0] << 8 | p[1]) : 0;
}

std::uint32_t ByteReader::ReadU32()
{
    const std::uint8_t* p = Take(4);
    if (!p) {
        return 0;
    }
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

std::span<const std::uint8_t> ByteReader::ReadBytes(std::size_t count)
{
    const std::uint8_t* p = Take(count);
    return p ? std::span<const std::uint8_t>(p, count) : std::span<const std::uint8_t>();
}

void ByteReader::Skip(std::size_t count)
{
    Take(count);
}

ByteReader ByteReader::At(std::size_t offset) const
{
    ByteReader placed(bytes_);
    if (!ok_ || offset > bytes_.size()) {
        placed.ok_ = false;
    } else {
        placed.offset_ = offset;
    }
    return placed;
}

} // namespace netbios
