#include "io/session_exchange.h"

#include <cerrno>
#include <optional>
#include <span>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "codec/session_packets.h"

namespace netbios {

namespace {

constexpr int MAX_RETARGETS = 1;

bool PeerGone(int error)
{
    return error == ECONNRESET || error == EPIPE;
}

bool NoListener(int error)
{
    return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH ||
           error == EHOSTDOWN || error == ETIMEDOUT;
}

// How a call ended at one of its steps; nothing when the step succeeded and the call goes on.
using Step = std::optional<CallOutcome>;

// Waits until the socket is ready for `events`; a call that cannot wait has ended.
Step AwaitReady(const Socket& socket, short events, Deadline deadline)
{
    switch (WaitUntil(socket.Fd(), events, deadline)) {
    case Readiness::TimedOut:
        return CallOutcome::TimedOut;
    case Readiness::Failed:
        return CallOutcome::Failed;
    case Readiness::Ready:
        break;
    }
    return std::nullopt;
}

Step Connect(Socket& socket, Ipv4Address local, Ipv4Address remote, std::uint16_t port,
             Deadline deadline)
{
    socket = OpenBoundSocket(SOCK_STREAM, local);
    if (!socket.Valid()) {
        return CallOutcome::Failed;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(remote);
    address.sin_port = htons(port);
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return std::nullopt;
    }
    if (errno != EINPROGRESS) {
        return NoListener(errno) ? CallOutcome::NotListening : CallOutcome::Failed;
    }
    if (const Step waited = AwaitReady(socket, POLLOUT, deadline)) {
        return waited;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return CallOutcome::Failed;
    }
    if (error != 0) {
        return NoListener(error) ? CallOutcome::NotListening : CallOutcome::Failed;
    }
    return std::nullopt;
}

Step SendAll(const Socket& socket, std::span<const std::uint8_t> packet, Deadline deadline)
{
    while (!packet.empty()) {
        const ssize_t sent = ::send(socket.Fd(), packet.data(), packet.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            packet = packet.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return PeerGone(errno) ? CallOutcome::PeerClosed : CallOutcome::Failed;
        }
        if (const Step waited = AwaitReady(socket, POLLOUT, deadline)) {
            return waited;
        }
    }
    return std::nullopt;
}

// Reads until the first answer other than SESSION KEEP ALIVE is complete.
Step AwaitAnswer(const Socket& socket, Deadline deadline, SessionResponse& answer)
{
    std::vector<std::uint8_t> received;
    for (;;) {
        const SessionParseResult parsed = ParseSessionResponse(received);
        if (parsed.status == SessionParseStatus::Malformed) {
            return CallOutcome::Malformed;
        }
        if (parsed.status == SessionParseStatus::Complete) {
            const auto end = received.begin() + static_cast<std::ptrdiff_t>(parsed.response.length);
            received.erase(received.begin(), end);
            if (parsed.response.kind != SessionResponseKind::KeepAlive) {
                answer = parsed.response;
                return std::nullopt;
            }
            continue;
        }
        if (const Step waited = AwaitReady(socket, POLLIN, deadline)) {
            return waited;
        }
        // Small reads: an answer has at most ten bytes, and what follows it is not ours.
        std::uint8_t chunk[16];
        const ssize_t length = ::recv(socket.Fd(), chunk, sizeof chunk, 0);
        if (length == 0) {
            return CallOutcome::PeerClosed;
        }
        if (length < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return PeerGone(errno) ? CallOutcome::PeerClosed : CallOutcome::Failed;
        }
        received.insert(received.end(), chunk, chunk + length);
    }
}

} // namespace

bool CallableAddress(Ipv4Address address)
{
    return address != INADDR_ANY && address != INADDR_BROADCAST &&
           (address >> IN_CLASSA_NSHIFT) != IN_LOOPBACKNET && !IN_MULTICAST(address);
}

CallResult CallSession(Ipv4Address local, Ipv4Address remote, const NetbiosName& called,
                       const NetbiosName& calling, Deadline whole)
{
    const std::vector<std::uint8_t> request = SessionRequest(called, calling);
    Ipv4Address address = remote;
    std::uint16_t port = SESSION_SERVICE_TCP_PORT;
    for (int retargets = 0; retargets <= MAX_RETARGETS; ++retargets) {
        CallResult result{CallOutcome::Failed, 0, Socket()};
        Step step = Connect(result.session, local, address, port,
                            Deadline::After(SESSION_CONNECT_TIMEOUT).Or(whole));
        if (!step) {
            step = SendAll(result.session, request, whole);
        }
        SessionResponse answer{};
        if (!step) {
            step = AwaitAnswer(result.session, Deadline::After(SESSION_RESPONSE_TIMEOUT).Or(whole),
                               answer);
        }
        if (step) {
            result.outcome = *step;
            result.session.Close();
            return result;
        }
        switch (answer.kind) {
        case SessionResponseKind::Positive:
            result.outcome = CallOutcome::Established;
            return result;
        case SessionResponseKind::Negative:
            result.outcome = CallOutcome::Rejected;
            result.errorCode = answer.errorCode;
            result.session.Close();
            return result;
        case SessionResponseKind::Retarget:
        case SessionResponseKind::KeepAlive:
            break;
        }
        if (!CallableAddress(answer.retargetAddress) || answer.retargetPort == 0) {
            return {CallOutcome::NotListening, 0, Socket()};
        }
        address = answer.retargetAddress;
        port = answer.retargetPort;
    }
    return {CallOutcome::RetargetAgain, 0, Socket()};
}

} // namespace netbios
