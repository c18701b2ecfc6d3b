// Writing packets by hand in tests: byte lists, letters of encoded names, concatenation.
#ifndef TOLVERIN_NETBIOS_TESTS_BYTES_H
#define TOLVERIN_NETBIOS_TESTS_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

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

} // namespace netbios_test

#endif
