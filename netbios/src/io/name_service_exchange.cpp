#include "io/name_service_exchange.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <random>
#include <span>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "io/deadline.h"
#include "io/socket.h"

namespace netbios {

namespace {

enum class Wait { Answered, Silent, Failed };

// Judges one received datagram; true ends the wait.
using AnswerCheck = std::function<bool(std::span<const std::uint8_t>)>;

std::uint16_t NewTransactionId()
{
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint16_t>(
        std::uniform_int_distribution<unsigned>{0, 0xFFFF}(generator));
}

class NameServiceSocket {
  public:
    // Opens an ephemeral UDP port on the endpoint's local address, allowed to broadcast.
    bool Open(const BroadcastEndpoint& endpoint)
    {
        socket_ = OpenBoundSocket(SOCK_DGRAM, endpoint.local);
        const int on = 1;
        if (!socket_.Valid() ||
            ::setsockopt(socket_.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            return false;
        }
        target_.sin_family = AF_INET;
        target_.sin_addr.s_addr = htonl(endpoint.broadcast);
        target_.sin_port = htons(NAME_SERVICE_UDP_PORT);
        return true;
    }

    bool Send(std::span<const std::uint8_t> packet)
    {
        const ssize_t sent = ::sendto(socket_.Fd(), packet.data(), packet.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&target_), sizeof target_);
        return sent == static_cast<ssize_t>(packet.size());
    }

    // Hands every datagram that arrives before `deadline` to `check` until one is accepted.
    Wait ReceiveUntil(Deadline deadline, const AnswerCheck& check)
    {
        // One byte more than a datagram may have, so that a longer one shows as such.
        std::array<std::uint8_t, MAX_DATAGRAM_LENGTH + 1> buffer;
        for (;;) {
            const Readiness readiness = WaitUntil(socket_.Fd(), POLLIN, deadline);
            if (readiness == Readiness::TimedOut) {
                return Wait::Silent;
            }
            if (readiness == Readiness::Failed) {
                return Wait::Failed;
            }
            const ssize_t length = ::recv(socket_.Fd(), buffer.data(), buffer.size(), MSG_TRUNC);
            if (length < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ||
                    errno == ECONNREFUSED) {
                    continue;
                }
                return Wait::Failed;
            }
            const std::size_t received = std::min(static_cast<std::size_t>(length), buffer.size());
            if (check(std::span<const std::uint8_t>(buffer.data(), received))) {
                return Wait::Answered;
            }
        }
    }

  private:
    Socket socket_;
    sockaddr_in target_{};
};

// Broadcasts `request` BCAST_REQ_RETRY_COUNT times, BCAST_REQ_RETRY_TIMEOUT apart, until
// `check` accepts an answer; Silent if none came within one interval of the last send.
Wait BroadcastRequest(NameServiceSocket& socket, std::span<const std::uint8_t> request,
                      const AnswerCheck& check)
{
    const Clock::time_point start = Clock::now();
    for (int send = 1; send <= BCAST_REQ_RETRY_COUNT; ++send) {
        if (!socket.Send(request)) {
            return Wait::Failed;
        }
        const Wait wait =
            socket.ReceiveUntil(Deadline(start + send * BCAST_REQ_RETRY_TIMEOUT), check);
        if (wait != Wait::Silent) {
            return wait;
        }
    }
    return Wait::Silent;
}

} // namespace

RegistrationResult RegisterName(const BroadcastEndpoint& endpoint, const NetbiosName& name,
                                NameKind kind)
{
    NameServiceSocket socket;
    if (!socket.Open(endpoint)) {
        return RegistrationResult::Failed;
    }
    const std::uint16_t trnId = NewTransactionId();
    const Wait wait = BroadcastRequest(
        socket, NameRegistrationRequest(trnId, name, kind, endpoint.local),
        [&](std::span<const std::uint8_t> datagram) {
            return ParseNegativeNameRegistrationResponse(datagram, trnId, name).has_value();
        });
    switch (wait) {
    case Wait::Answered:
        return RegistrationResult::Refused;
    case Wait::Failed:
        return RegistrationResult::Failed;
    case Wait::Silent:
        break;
    }
    // The name is ours; tell every node that caches names.
    if (!socket.Send(NameOverwriteDemand(trnId, name, kind, endpoint.local))) {
        return RegistrationResult::Failed;
    }
    return RegistrationResult::Registered;
}

QueryResult QueryName(const BroadcastEndpoint& endpoint, const NetbiosName& name)
{
    NameServiceSocket socket;
    if (!socket.Open(endpoint)) {
        return {true, {}};
    }
    const std::uint16_t trnId = NewTransactionId();
    QueryResult result{false, {}};
    const Wait wait = BroadcastRequest(
        socket, NameQueryRequest(trnId, name), [&](std::span<const std::uint8_t> datagram) {
            auto addresses = ParsePositiveNameQueryResponse(datagram, trnId, name);
            if (addresses) {
                result.addresses = std::move(*addresses);
            }
            return addresses.has_value();
        });
    result.failed = wait == Wait::Failed;
    return result;
}

bool ReleaseName(const BroadcastEndpoint& endpoint, const NetbiosName& name, NameKind kind)
{
    NameServiceSocket socket;
    return socket.Open(endpoint) &&
           socket.Send(NameReleaseRequest(NewTransactionId(), name, kind, endpoint.local));
}

} // namespace netbios
