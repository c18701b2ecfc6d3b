#include "codec/byte_writer.h"

namespace netbios {

void ByteWriter::WriteU16(std::uint16_t value)
{
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(value));
}

void ByteWriter::WriteU32(std::uint32_t value)
{
    WriteU16(static_cast<std::uint16_t>(value >> 16));
    WriteU16(static_cast<std::uint16_t>(value));
}

void ByteWriter::WriteBytes(std::span<const std::uint8_t> bytes)
{
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

} // namespace netbios
