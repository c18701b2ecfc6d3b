// Fuzz target: the bytes a called connection receives after its SESSION REQUEST, read as
// the caller reads them: packet by packet, SESSION KEEP ALIVEs passed over, until an answer,
// a malformed start, or the end of the bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/session_packets.h"
#include "fuzz_target.h"

namespace {

using netbios::ParseSessionResponse;
using netbios::SessionParseResult;
using netbios::SessionParseStatus;
using netbios::SessionResponseKind;

// The packet type byte of each answer.
std::uint8_t TypeOf(SessionResponseKind kind)
{
    switch (kind) {
    case SessionResponseKind::Positive:
        return 0x82;
    case SessionResponseKind::Negative:
        return 0x83;
    case SessionResponseKind::Retarget:
        return 0x84;
    case SessionResponseKind::KeepAlive:
        return 0x85;
    }
    return 0;
}

bool SameAnswer(const SessionParseResult& a, const SessionParseResult& b)
{
    return a.status == b.status && a.response.kind == b.response.kind &&
           a.response.errorCode == b.response.errorCode &&
           a.response.retargetAddress == b.response.retargetAddress &&
           a.response.retargetPort == b.response.retargetPort &&
           a.response.length == b.response.length;
}

// A complete packet lies inside the bytes and says what its own bytes say.
void CheckComplete(std::span<const std::uint8_t> received, const SessionParseResult& parsed)
{
    const netbios::SessionResponse& response = parsed.response;
    fuzz::Require(response.length >= 4 && response.length <= received.size(),
                  "complete packet outside the bytes received");
    fuzz::Require(received[0] == TypeOf(response.kind), "answer of another type");
    if (response.kind == SessionResponseKind::Negative) {
        fuzz::Require(response.length == 5 && response.errorCode == received[4],
                      "negative answer without its error code");
    }
    if (response.kind == SessionResponseKind::Retarget) {
        fuzz::Require(response.length == 10, "retarget answer of another length");
        const std::uint32_t address = std::uint32_t{received[4]} << 24 |
                                      std::uint32_t{received[5]} << 16 |
                                      std::uint32_t{received[6]} << 8 | received[7];
        fuzz::Require(response.retargetAddress == address &&
                          response.retargetPort == (received[8] << 8 | received[9]),
                      "retarget to an address or port the packet does not give");
    }
}

// The bytes arrive in pieces: every shorter start must read as a part of what the whole
// reads as, never as another answer, and never as malformed when the whole is not.
void CheckPrefixes(std::span<const std::uint8_t> received, const SessionParseResult& whole)
{
    // The reader looks at no more than one retarget answer's bytes.
    const std::size_t longest = std::min<std::size_t>(received.size(), 16);
    for (std::size_t length = 0; length < longest; ++length) {
        const SessionParseResult part = ParseSessionResponse(received.first(length));
        switch (whole.status) {
        case SessionParseStatus::Complete:
            fuzz::Require(length < whole.response.length
                              ? part.status == SessionParseStatus::Incomplete
                              : SameAnswer(part, whole),
                          "a start of a complete packet read otherwise");
            break;
        case SessionParseStatus::Incomplete:
            fuzz::Require(part.status == SessionParseStatus::Incomplete,
                          "a start of an incomplete packet read otherwise");
            break;
        case SessionParseStatus::Malformed:
            fuzz::Require(part.status != SessionParseStatus::Complete,
                          "a start of a malformed packet read as complete");
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> received(data, size);
    for (;;) {
        const SessionParseResult parsed = ParseSessionResponse(received);
        CheckPrefixes(received, parsed);
        if (parsed.status != SessionParseStatus::Complete) {
            fuzz::Require(parsed.status == SessionParseStatus::Malformed || received.size() < 10,
                          "ten bytes and still no complete answer");
            return 0;
        }
        CheckComplete(received, parsed);
        if (parsed.response.kind != SessionResponseKind::KeepAlive) {
            return 0;
        }
        received = received.subspan(parsed.response.length);
    }
}
