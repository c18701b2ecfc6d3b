// Writing packets by hand in tests: byte lists, letters of encoded names, concatenation,
// raw names.
#ifndef TOLVERIN_NETBIOS_TESTS_BYTES_H
#define TOLVERIN_NETBIOS_TESTS_BYTES_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "codec/netbios_name.h"

namespace netbios_test {

using Bytes = std::vector<std::uint8_t>;

// The characters of `text` as bytes (for the 32 letters of an encoded name).
inline Bytes Letters(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The first `length` bytes of `bytes`.
inline Bytes Prefix(const Bytes& bytes, std::size_t length)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

// The 16 bytes of a name: `text` (at most 16 characters), then zero bytes.
inline netbios::NetbiosName Raw(const char* text)
{
    netbios::NetbiosName name{};
    std::memcpy(name.data(), text, std::min(std::strlen(text), name.size()));
    return name;
}

} // namespace netbios_test

#endif
