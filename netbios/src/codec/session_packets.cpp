#include "codec/session_packets.h"

#include "codec/byte_reader.h"
#include "codec/byte_writer.h"

namespace netbios {

namespace {

constexpr std::uint8_t SESSION_REQUEST = 0x81;
constexpr std::uint8_t POSITIVE_SESSION_RESPONSE = 0x82;
constexpr std::uint8_t NEGATIVE_SESSION_RESPONSE = 0x83;
constexpr std::uint8_t RETARGET_SESSION_RESPONSE = 0x84;
constexpr std::uint8_t SESSION_KEEP_ALIVE = 0x85;

constexpr std::size_t SESSION_HEADER_LENGTH = 4;
constexpr std::uint8_t FLAG_LENGTH_EXTENSION = 0x01; // 17th bit of LENGTH

struct TypeLength {
    std::uint8_t type;
    SessionResponseKind kind;
    std::uint32_t length; // LENGTH: bytes after the header
};

constexpr TypeLength ANSWERS[] = {
    {POSITIVE_SESSION_RESPONSE, SessionResponseKind::Positive, 0},
    {NEGATIVE_SESSION_RESPONSE, SessionResponseKind::Negative, 1},
    {RETARGET_SESSION_RESPONSE, SessionResponseKind::Retarget, 6},
    {SESSION_KEEP_ALIVE, SessionResponseKind::KeepAlive, 0},
};

} // namespace

std::vector<std::uint8_t> SessionRequest(const NetbiosName& called, const NetbiosName& calling)
{
    ByteWriter writer;
    writer.WriteU8(SESSION_REQUEST);
    writer.WriteU8(0); // FLAGS
    writer.WriteU16(2 * ENCODED_NAME_LENGTH);
    WriteName(writer, called);
    WriteName(writer, calling);
    return writer.Take();
}

SessionParseResult ParseSessionResponse(std::span<const std::uint8_t> received)
{
    SessionParseResult result{SessionParseStatus::Incomplete, {}};
    ByteReader reader(received);
    const std::uint8_t type = reader.ReadU8();
    const std::uint8_t flags = reader.ReadU8();
    const std::uint16_t lengthLow = reader.ReadU16();
    if (received.empty()) {
        return result;
    }

    const TypeLength* answer = nullptr;
    for (const TypeLength& candidate : ANSWERS) {
        if (candidate.type == type) {
            answer = &candidate;
        }
    }
    if (answer == nullptr) {
        result.status = SessionParseStatus::Malformed;
        return result;
    }
    if (!reader.Ok()) {
        return result; // the type is right; its length is still on the way
    }
    const std::uint32_t length =
        (flags & FLAG_LENGTH_EXTENSION) != 0 ? 0x10000u + lengthLow : lengthLow;
    if (length != answer->length) {
        result.status = SessionParseStatus::Malformed;
        return result;
    }

    SessionResponse& response = result.response;
    response.kind = answer->kind;
    response.errorCode = answer->kind == SessionResponseKind::Negative ? reader.ReadU8() : 0;
    if (answer->kind == SessionResponseKind::Retarget) {
        response.retargetAddress = reader.ReadU32();
        response.retargetPort = reader.ReadU16();
    }
    if (!reader.Ok()) {
        return result;
    }
    response.length = SESSION_HEADER_LENGTH + length;
    result.status = SessionParseStatus::Complete;
    return result;
}

} // namespace netbios
