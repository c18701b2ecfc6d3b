// Opening a NetBIOS session over TCP: connect, SESSION REQUEST, and the answer.
#ifndef TOLVERIN_NETBIOS_IO_SESSION_EXCHANGE_H
#define TOLVERIN_NETBIOS_IO_SESSION_EXCHANGE_H

#include <chrono>
#include <cstdint>

#include "codec/name_service_packets.h"
#include "codec/netbios_name.h"
#include "io/deadline.h"
#include "io/socket.h"

namespace netbios {

constexpr std::chrono::seconds SESSION_CONNECT_TIMEOUT{2};
constexpr std::chrono::seconds SESSION_RESPONSE_TIMEOUT{5};

enum class CallOutcome {
    Established,   // POSITIVE SESSION RESPONSE
    Rejected,      // NEGATIVE SESSION RESPONSE, see errorCode
    NotListening,  // the connection was refused or the peer is unreachable
    RetargetAgain, // a second RETARGET SESSION RESPONSE
    TimedOut,      // no connection or no answer in time
    PeerClosed,    // the peer closed the connection before answering
    Malformed,     // the peer answered with something that is no session answer
    Failed,        // a local socket operation failed
};

struct CallResult {
    CallOutcome outcome;
    std::uint8_t errorCode; // Rejected only
    Socket session;         // Established only: the open session
};

// Whether a session can be called at `address`: not 0.0.0.0, the limited broadcast,
// loopback or multicast, which an answer from the network might name.
bool CallableAddress(Ipv4Address address);

// Calls `called` as `calling` at TCP port 139 of `remote`, from the adapter address
// `local`: each connection attempt may take SESSION_CONNECT_TIMEOUT, each answer
// SESSION_RESPONSE_TIMEOUT, and everything ends by `whole`. A RETARGET SESSION RESPONSE
// is followed once, if it names a callable address and a port; SESSION KEEP ALIVEs are
// skipped.
CallResult CallSession(Ipv4Address local, Ipv4Address remote, const NetbiosName& called,
                       const NetbiosName& calling, Deadline whole);

} // namespace netbios

#endif
