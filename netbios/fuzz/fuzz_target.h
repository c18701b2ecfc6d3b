// What every fuzz target shares: the one entry point libFuzzer (or replay_main.cpp) calls,
// the names of the outstanding requests, and the check that turns a broken property into a
// finding.
#ifndef TOLVERIN_NETBIOS_FUZZ_FUZZ_TARGET_H
#define TOLVERIN_NETBIOS_FUZZ_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/netbios_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

// A zero-padded name, as the command builds it ("ABC.COMMAND.SRV" and "ABC.PELMOK.CLT" are
// the names the corpora answer for).
inline netbios::NetbiosName Name(const char* text)
{
    netbios::NetbiosName name{};
    std::memcpy(name.data(), text, std::strlen(text));
    return name;
}

// A property that does not hold is a finding: say which, then abort, so that libFuzzer
// keeps the input and a replaying test fails.
inline void Require(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz: property broken: %s\n", property);
        std::abort();
    }
}

} // namespace fuzz

#endif
