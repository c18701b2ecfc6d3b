// Fuzz target: a datagram received on the name service socket while a query for
// "ABC.COMMAND.SRV" (transaction 0x0F0E) and a group registration of "ABC.PELMOK.CLT"
// (transaction 0x1234) are outstanding. The input is the UDP payload as received.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/byte_reader.h"
#include "codec/name_service_packets.h"
#include "fuzz_target.h"

namespace {

using netbios::AcceptResponse;
using netbios::NameServiceOpcode;
using netbios::NameServiceResponse;
using netbios::OutstandingRequest;

constexpr std::size_t HEADER_LENGTH = 12;
// An answer record at its smallest: a name pointer, TYPE, CLASS, TTL, RDLENGTH.
constexpr std::size_t MIN_RECORD_LENGTH = 2 + 2 + 2 + 4 + 2;
constexpr std::size_t NB_ADDRESS_ENTRY_LENGTH = 6;

// Checks what an accepted datagram must be: one that answers exactly this request.
void CheckAccepted(std::span<const std::uint8_t> datagram, const OutstandingRequest& request,
                   const NameServiceResponse& response)
{
    fuzz::Require(datagram.size() <= netbios::MAX_DATAGRAM_LENGTH, "accepted datagram too long");
    netbios::ByteReader header(datagram);
    const std::uint16_t trnId = header.ReadU16();
    const std::uint16_t flags = header.ReadU16();
    fuzz::Require(header.Ok() && trnId == request.trnId, "accepted with another transaction id");
    fuzz::Require((flags & 0x8000) != 0, "accepted a request (R bit clear)");
    fuzz::Require((flags >> 11 & 0xF) == static_cast<unsigned>(request.opcode),
                  "accepted with another opcode");
    fuzz::Require(response.rcode == (flags & 0xF), "RCODE not the header's");
    fuzz::Require(HEADER_LENGTH + MIN_RECORD_LENGTH +
                          response.addresses.size() * NB_ADDRESS_ENTRY_LENGTH <=
                      datagram.size(),
                  "more addresses than the datagram holds");

    // The same bytes do not answer another transaction, operation or name.
    OutstandingRequest other = request;
    other.trnId = static_cast<std::uint16_t>(request.trnId ^ 0x0001);
    fuzz::Require(!AcceptResponse(datagram, other), "accepted for another transaction id");
    other = request;
    other.opcode = NameServiceOpcode::Release;
    fuzz::Require(!AcceptResponse(datagram, other), "accepted for another opcode");
    other = request;
    other.name[0] ^= 0x01;
    fuzz::Require(!AcceptResponse(datagram, other), "accepted for another name");

    // Records after the first answer are not read: a byte more changes nothing.
    if (datagram.size() < netbios::MAX_DATAGRAM_LENGTH) {
        std::vector<std::uint8_t> longer(datagram.begin(), datagram.end());
        longer.push_back(0xA5);
        const std::optional<NameServiceResponse> again = AcceptResponse(longer, request);
        fuzz::Require(again && again->rcode == response.rcode &&
                          again->addresses == response.addresses,
                      "a trailing byte changed the verdict");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> datagram(data, size);
    static const OutstandingRequest query{0x0F0E, NameServiceOpcode::Query,
                                          fuzz::Name("ABC.COMMAND.SRV")};
    static const OutstandingRequest registration{0x1234, NameServiceOpcode::Registration,
                                                 fuzz::Name("ABC.PELMOK.CLT")};

    const std::optional<NameServiceResponse> answer = AcceptResponse(datagram, query);
    if (answer) {
        CheckAccepted(datagram, query, *answer);
    }
    const auto addresses =
        netbios::ParsePositiveNameQueryResponse(datagram, query.trnId, query.name);
    fuzz::Require(addresses.has_value() ==
                      (answer && answer->rcode == 0 && !answer->addresses.empty()),
                  "positive query response judged apart from its answer");
    fuzz::Require(!addresses || *addresses == answer->addresses,
                  "positive query response with other addresses");

    const std::optional<NameServiceResponse> objection = AcceptResponse(datagram, registration);
    if (objection) {
        CheckAccepted(datagram, registration, *objection);
    }
    const auto rcode = netbios::ParseNegativeNameRegistrationResponse(datagram, registration.trnId,
                                                                      registration.name);
    fuzz::Require(rcode.has_value() == (objection && objection->rcode != 0),
                  "negative registration response judged apart from its answer");
    fuzz::Require(!rcode || *rcode == objection->rcode,
                  "negative registration response with another RCODE");
    return 0;
}
