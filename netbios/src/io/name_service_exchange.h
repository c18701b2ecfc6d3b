// The name service procedures of a broadcast node on one adapter, over UDP: an ephemeral
// port on the adapter's address, requests broadcast to port 137 of its subnet, answers
// counted only if they answer the outstanding request.
#ifndef TOLVERIN_NETBIOS_IO_NAME_SERVICE_EXCHANGE_H
#define TOLVERIN_NETBIOS_IO_NAME_SERVICE_EXCHANGE_H

#include <chrono>
#include <vector>

#include "codec/name_service_packets.h"
#include "codec/netbios_name.h"

namespace netbios {

// A broadcast request goes out this many times, this far apart; its answers are awaited
// until one interval after the last send.
constexpr int BCAST_REQ_RETRY_COUNT = 3;
constexpr std::chrono::milliseconds BCAST_REQ_RETRY_TIMEOUT{250};

// Where an adapter's broadcasts leave from and go to.
struct BroadcastEndpoint {
    Ipv4Address local;
    Ipv4Address broadcast;
};

enum class RegistrationResult {
    Registered, // nobody objected; the owner has been announced
    Refused,    // a NEGATIVE NAME REGISTRATION RESPONSE came
    Failed,     // the socket could not be opened or a send failed
};

// Registers `name` by broadcast: NAME REGISTRATION REQUESTs until one is refused or the
// last interval passes in silence, then a NAME OVERWRITE DEMAND.
RegistrationResult RegisterName(const BroadcastEndpoint& endpoint, const NetbiosName& name,
                                NameKind kind);

struct QueryResult {
    bool failed;                        // the socket could not be opened or a send failed
    std::vector<Ipv4Address> addresses; // from the first positive answer; empty: none came
};

// Resolves `name` by broadcast NAME QUERY REQUESTs, ending at the first positive answer.
QueryResult QueryName(const BroadcastEndpoint& endpoint, const NetbiosName& name);

// Broadcasts one NAME RELEASE REQUEST for `name` and waits for nothing. False if it could
// not be sent.
bool ReleaseName(const BroadcastEndpoint& endpoint, const NetbiosName& name, NameKind kind);

} // namespace netbios

#endif
