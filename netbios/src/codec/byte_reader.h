// The one way received bytes are read: a reader that cannot go past the end of its bytes.
// A failed read is sticky: it and every later read yield zeros (or nothing), so a parser
// reads straight through and checks Ok() once at the end.
#ifndef TOLVERIN_NETBIOS_CODEC_BYTE_READER_H
#define TOLVERIN_NETBIOS_CODEC_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace netbios {

class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t ReadU8();
    std::uint16_t ReadU16(); // network byte order
    std::uint32_t ReadU32(); // network byte order
    // The next `count` bytes, or an empty span if fewer remain.
    std::span<const std::uint8_t> ReadBytes(std::size_t count);
    void Skip(std::size_t count);

    // A reader over the same bytes placed at `offset`; a failed one if it lies past the end.
    ByteReader At(std::size_t offset) const;

    std::size_t Offset() const { return offset_; }
    bool Ok() const { return ok_; }
    void Fail() { ok_ = false; }

  private:
    // Advances over `count` bytes and returns where they start, or fails.
    const std::uint8_t* Take(std::size_t count);

    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
    bool ok_ = true;
};

} // namespace netbios

#endif
