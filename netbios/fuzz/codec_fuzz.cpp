// Fuzz target: every parser of received bytes, fed the same input. Besides not crashing, each
// result must stay inside the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "codec/name_service_packets.h"
#include "codec/netbios_name.h"
#include "codec/session_packets.h"

namespace {

// "ABC.COMMAND.SRV" and "ABC.PELMOK.CLT", zero-padded: the names the corpus answers for.
netbios::NetbiosName Name(const char* text)
{
    netbios::NetbiosName name{};
    std::memcpy(name.data(), text, std::strlen(text));
    return name;
}

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    static const netbios::NetbiosName server = Name("ABC.COMMAND.SRV");
    static const netbios::NetbiosName client = Name("ABC.PELMOK.CLT");
    // The input's own transaction id, so that the fuzzer gets past the first check.
    const std::uint16_t trnId = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;

    if (const auto addresses = netbios::ParsePositiveNameQueryResponse(bytes, trnId, server)) {
        Require(size <= netbios::MAX_DATAGRAM_LENGTH && !addresses->empty());
        Require(addresses->size() * 6 <= size);
    }
    if (const auto rcode = netbios::ParseNegativeNameRegistrationResponse(bytes, trnId, client)) {
        Require(size <= netbios::MAX_DATAGRAM_LENGTH && *rcode != 0 && *rcode <= 0xF);
    }
    const netbios::SessionParseResult session = netbios::ParseSessionResponse(bytes);
    if (session.status == netbios::SessionParseStatus::Complete) {
        Require(session.response.length >= 4 && session.response.length <= size);
    }
    if (const auto name = netbios::DecodeName(bytes)) {
        Require(size >= 34);
    }
    return 0;
}
