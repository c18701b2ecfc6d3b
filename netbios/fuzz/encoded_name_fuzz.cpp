// Fuzz target: encoded names as they occur in received packets. The input is a packet; a
// name is read at every offset of it, directly or through a compression pointer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/byte_reader.h"
#include "codec/netbios_name.h"
#include "fuzz_target.h"

namespace {

using netbios::ENCODED_NAME_LENGTH;

constexpr std::uint8_t POINTER_MARK = 0xC0;

// The encoded bytes at `offset` are exactly those of `name`.
bool EncodedAt(std::span<const std::uint8_t> packet, std::size_t offset,
               const netbios::NetbiosName& name)
{
    const netbios::EncodedName encoded = netbios::EncodeName(name);
    return offset <= packet.size() && packet.size() - offset >= encoded.size() &&
           std::equal(encoded.begin(), encoded.end(), packet.begin() + static_cast<long>(offset));
}

void CheckReadAt(std::span<const std::uint8_t> packet, std::size_t offset)
{
    netbios::ByteReader reader = netbios::ByteReader(packet).At(offset);
    const netbios::NetbiosName name = netbios::ReadName(reader);
    if (!reader.Ok()) {
        return;
    }
    if ((packet[offset] & POINTER_MARK) == POINTER_MARK) {
        const std::size_t target = std::size_t{packet[offset] & 0x3Fu} << 8 | packet[offset + 1];
        fuzz::Require(target < offset, "pointer followed forward or onto itself");
        fuzz::Require(reader.Offset() == offset + 2, "pointer not read as two bytes");
        fuzz::Require(EncodedAt(packet, target, name),
                      "name behind a pointer does not re-encode to its bytes");
    } else {
        fuzz::Require(reader.Offset() == offset + ENCODED_NAME_LENGTH,
                      "direct name not read as its encoded length");
        fuzz::Require(EncodedAt(packet, offset, name), "name does not re-encode to its bytes");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> packet(data, size);
    for (std::size_t offset = 0; offset <= size; ++offset) {
        CheckReadAt(packet, offset);
    }

    // The whole input as one encoded name: decoded only if it is one, byte for byte.
    if (const std::optional<netbios::NetbiosName> name = netbios::DecodeName(packet)) {
        fuzz::Require(EncodedAt(packet, 0, *name) && size == ENCODED_NAME_LENGTH,
                      "decoded name does not re-encode to the input");
    }

    // Any 16 bytes, zeros and high bytes included, come back from their encoding unchanged.
    netbios::NetbiosName raw{};
    std::copy_n(packet.begin(), std::min(size, raw.size()), raw.begin());
    const netbios::EncodedName encoded = netbios::EncodeName(raw);
    fuzz::Require(netbios::DecodeName(encoded) == raw, "encoding does not decode to its bytes");
    return 0;
}
