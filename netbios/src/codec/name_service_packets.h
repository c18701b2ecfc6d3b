// Name service packets of a broadcast node (UDP port 137): the requests it sends and the
// responses it accepts. No I/O here: requests are built into bytes, received datagrams are
// judged from their bytes alone.
#ifndef TOLVERIN_NETBIOS_CODEC_NAME_SERVICE_PACKETS_H
#define TOLVERIN_NETBIOS_CODEC_NAME_SERVICE_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/netbios_name.h"

namespace netbios {

// An IPv4 address as a number in host byte order (198.51.100.1 is 0xC6336401).
using Ipv4Address = std::uint32_t;

constexpr std::uint16_t NAME_SERVICE_UDP_PORT = 137;
constexpr std::size_t MAX_DATAGRAM_LENGTH = 576; // longer datagrams are dropped unread

enum class NameServiceOpcode : std::uint8_t {
    Query = 0x0,
    Registration = 0x5,
    Release = 0x6,
};

enum class NameKind { Unique, Group };

// Broadcast requests. `trnId` identifies the transaction; retransmissions reuse it.
std::vector<std::uint8_t> NameRegistrationRequest(std::uint16_t trnId, const NetbiosName& name,
                                                  NameKind kind, Ipv4Address owner);
std::vector<std::uint8_t> NameOverwriteDemand(std::uint16_t trnId, const NetbiosName& name,
                                              NameKind kind, Ipv4Address owner);
std::vector<std::uint8_t> NameQueryRequest(std::uint16_t trnId, const NetbiosName& name);
std::vector<std::uint8_t> NameReleaseRequest(std::uint16_t trnId, const NetbiosName& name,
                                             NameKind kind, Ipv4Address owner);

// What a request waits for: a response to this transaction, operation and name.
struct OutstandingRequest {
    std::uint16_t trnId;
    NameServiceOpcode opcode;
    NetbiosName name;
};

// A datagram that answers the outstanding request: its RCODE and the addresses of its
// first answer record.
struct NameServiceResponse {
    std::uint8_t rcode;
    std::vector<Ipv4Address> addresses;
};

// Judges a received datagram. It counts only if it is at most MAX_DATAGRAM_LENGTH bytes,
// a response (R bit), with the request's transaction id and opcode, and its first answer
// record is a well-formed NB record for the same name; nothing otherwise.
std::optional<NameServiceResponse> AcceptResponse(std::span<const std::uint8_t> datagram,
                                                  const OutstandingRequest& request);

// The addresses a POSITIVE NAME QUERY RESPONSE to the query `trnId` for `name` gives (at
// least one); nothing for any other datagram.
std::optional<std::vector<Ipv4Address>>
ParsePositiveNameQueryResponse(std::span<const std::uint8_t> datagram, std::uint16_t trnId,
                               const NetbiosName& name);

// The RCODE (never 0) of a NEGATIVE NAME REGISTRATION RESPONSE to the registration `trnId`
// of `name`; nothing for any other datagram.
std::optional<std::uint8_t>
ParseNegativeNameRegistrationResponse(std::span<const std::uint8_t> datagram, std::uint16_t trnId,
                                      const NetbiosName& name);

} // namespace netbios

#endif
