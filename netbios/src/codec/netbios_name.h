// NetBIOS names on the wire: 16 raw bytes, first-level encoded as one label of 32 letters
// (each half-byte as 'A' + its value) in an empty scope.
#ifndef TOLVERIN_NETBIOS_CODEC_NETBIOS_NAME_H
#define TOLVERIN_NETBIOS_CODEC_NETBIOS_NAME_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/byte_reader.h"
#include "codec/byte_writer.h"

namespace netbios {

constexpr std::size_t NETBIOS_NAME_LENGTH = 16;
constexpr std::uint8_t ENCODED_LABEL_LENGTH = 32;
// Label length byte, 32 letters, and the zero length that ends the (empty) scope.
constexpr std::size_t ENCODED_NAME_LENGTH = 1 + ENCODED_LABEL_LENGTH + 1;

using NetbiosName = std::array<std::uint8_t, NETBIOS_NAME_LENGTH>;
using EncodedName = std::array<std::uint8_t, ENCODED_NAME_LENGTH>;

// The 16 bytes as they are (no re-padding), encoded with an empty scope.
EncodedName EncodeName(const NetbiosName& name);

// The 16 bytes behind an encoded name: exactly a length byte of 32, 32 letters 'A' to 'P'
// and a zero byte; nothing for anything else.
std::optional<NetbiosName> DecodeName(std::span<const std::uint8_t> encoded);

void WriteName(ByteWriter& writer, const NetbiosName& name);

// Reads a name where the reader stands: either the encoded name itself or a compression
// pointer to one earlier in the packet (a pointer is followed once and only backwards).
// Fails the reader on anything else.
NetbiosName ReadName(ByteReader& reader);

} // namespace netbios

#endif
