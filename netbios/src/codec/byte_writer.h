// Builds outgoing packets: appends fields in network byte order to a growing buffer.
#ifndef TOLVERIN_NETBIOS_CODEC_BYTE_WRITER_H
#define TOLVERIN_NETBIOS_CODEC_BYTE_WRITER_H

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace netbios {

class ByteWriter {
  public:
    void WriteU8(std::uint8_t value) { bytes_.push_back(value); }
    void WriteU16(std::uint16_t value);
    void WriteU32(std::uint32_t value);
    void WriteBytes(std::span<const std::uint8_t> bytes);

    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace netbios

#endif
