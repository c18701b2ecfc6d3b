// Session service packets (TCP port 139): the SESSION REQUEST a caller sends and the
// answers it can get. No I/O here.
#ifndef TOLVERIN_NETBIOS_CODEC_SESSION_PACKETS_H
#define TOLVERIN_NETBIOS_CODEC_SESSION_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/name_service_packets.h"
#include "codec/netbios_name.h"

namespace netbios {

constexpr std::uint16_t SESSION_SERVICE_TCP_PORT = 139;

// SESSION REQUEST from `calling` to `called`, both first-level encoded.
std::vector<std::uint8_t> SessionRequest(const NetbiosName& called, const NetbiosName& calling);

enum class SessionResponseKind {
    Positive,  // POSITIVE SESSION RESPONSE: the session is open
    Negative,  // NEGATIVE SESSION RESPONSE, with its error code
    Retarget,  // RETARGET SESSION RESPONSE: call again at another address and port
    KeepAlive, // SESSION KEEP ALIVE: no answer yet
};

struct SessionResponse {
    SessionResponseKind kind;
    std::uint8_t errorCode;      // Negative only
    Ipv4Address retargetAddress; // Retarget only
    std::uint16_t retargetPort;  // Retarget only
    std::size_t length;          // bytes of the packet, header included
};

enum class SessionParseStatus {
    Complete,   // `response` holds the first packet of the bytes
    Incomplete, // the bytes so far are the start of a valid answer: read more
    Malformed,  // no answer to a SESSION REQUEST starts this way
};

struct SessionParseResult {
    SessionParseStatus status;
    SessionResponse response;
};

// Reads the first packet of the bytes received so far on a called connection. Any type
// other than the four answers, or a length that does not fit its type, is malformed.
SessionParseResult ParseSessionResponse(std::span<const std::uint8_t> received);

} // namespace netbios

#endif
