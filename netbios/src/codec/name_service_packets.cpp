#include "codec/name_service_packets.h"

#include "codec/byte_reader.h"
#include "codec/byte_writer.h"

namespace netbios {

namespace {

// Header flags word: R, OPCODE (4 bits), NM_FLAGS (AA TC RD RA 0 0 B), RCODE (4 bits).
constexpr std::uint16_t FLAG_RESPONSE = 0x8000;
constexpr int OPCODE_SHIFT = 11;
constexpr std::uint16_t FLAG_RECURSION_DESIRED = 0x0100;
constexpr std::uint16_t FLAG_BROADCAST = 0x0010;
constexpr std::uint16_t RCODE_MASK = 0x000F;

constexpr std::uint16_t RR_TYPE_NB = 0x0020;
constexpr std::uint16_t RR_CLASS_IN = 0x0001;
constexpr std::uint16_t NB_FLAG_GROUP = 0x8000; // ONT bits stay 00: broadcast node
constexpr std::uint32_t REGISTRATION_TTL = 0;   // a broadcast node asks for no expiry
constexpr std::uint16_t NB_ADDRESS_ENTRY_LENGTH = 6;
constexpr std::uint16_t HEADER_LENGTH = 12;
constexpr std::uint16_t QUESTION_NAME_POINTER = 0xC000 | HEADER_LENGTH;

std::uint16_t RequestFlags(NameServiceOpcode opcode, std::uint16_t nmFlags)
{
    return static_cast<std::uint16_t>(static_cast<unsigned>(opcode) << OPCODE_SHIFT | nmFlags);
}

// Header with one question for `name`, NB, IN.
void WriteQuestion(ByteWriter& writer, std::uint16_t trnId, std::uint16_t flags,
                   std::uint16_t additionalCount, const NetbiosName& name)
{
    writer.WriteU16(trnId);
    writer.WriteU16(flags);
    writer.WriteU16(1); // QDCOUNT
    writer.WriteU16(0); // ANCOUNT
    writer.WriteU16(0); // NSCOUNT
    writer.WriteU16(additionalCount);
    WriteName(writer, name);
    writer.WriteU16(RR_TYPE_NB);
    writer.WriteU16(RR_CLASS_IN);
}

// A request that carries the owner's record: the question, then one additional NB record
// naming the question's name by pointer.
std::vector<std::uint8_t> OwnerRequest(std::uint16_t trnId, std::uint16_t flags,
                                       const NetbiosName& name, NameKind kind, Ipv4Address owner)
{
    ByteWriter writer;
    WriteQuestion(writer, trnId, flags, 1, name);
    writer.WriteU16(QUESTION_NAME_POINTER);
    writer.WriteU16(RR_TYPE_NB);
    writer.WriteU16(RR_CLASS_IN);
    writer.WriteU32(REGISTRATION_TTL);
    writer.WriteU16(NB_ADDRESS_ENTRY_LENGTH);
    writer.WriteU16(kind == NameKind::Group ? NB_FLAG_GROUP : 0);
    writer.WriteU32(owner);
    return writer.Take();
}

} // namespace

std::vector<std::uint8_t> NameRegistrationRequest(std::uint16_t trnId, const NetbiosName& name,
                                                  NameKind kind, Ipv4Address owner)
{
    const std::uint16_t flags =
        RequestFlags(NameServiceOpcode::Registration, FLAG_RECURSION_DESIRED | FLAG_BROADCAST);
    return OwnerRequest(trnId, flags, name, kind, owner);
}

std::vector<std::uint8_t> NameOverwriteDemand(std::uint16_t trnId, const NetbiosName& name,
                                              NameKind kind, Ipv4Address owner)
{
    // A registration without RD: nobody is asked, everybody is told.
    const std::uint16_t flags = RequestFlags(NameServiceOpcode::Registration, FLAG_BROADCAST);
    return OwnerRequest(trnId, flags, name, kind, owner);
}

std::vector<std::uint8_t> NameQueryRequest(std::uint16_t trnId, const NetbiosName& name)
{
    ByteWriter writer;
    WriteQuestion(writer, trnId,
                  RequestFlags(NameServiceOpcode::Query, FLAG_RECURSION_DESIRED | FLAG_BROADCAST),
                  0, name);
    return writer.Take();
}

std::vector<std::uint8_t> NameReleaseRequest(std::uint16_t trnId, const NetbiosName& name,
                                             NameKind kind, Ipv4Address owner)
{
    const std::uint16_t flags = RequestFlags(NameServiceOpcode::Release, FLAG_BROADCAST);
    return OwnerRequest(trnId, flags, name, kind, owner);
}

std::optional<NameServiceResponse> AcceptResponse(std::span<const std::uint8_t> datagram,
                                                  const OutstandingRequest& request)
{
    if (datagram.size() > MAX_DATAGRAM_LENGTH) {
        return std::nullopt;
    }
    ByteReader reader(datagram);
    const std::uint16_t trnId = reader.ReadU16();
    const std::uint16_t flags = reader.ReadU16();
    const std::uint16_t questionCount = reader.ReadU16();
    const std::uint16_t answerCount = reader.ReadU16();
    reader.Skip(4); // NSCOUNT, ARCOUNT: nothing of theirs is read
    if (!reader.Ok() || trnId != request.trnId || (flags & FLAG_RESPONSE) == 0 ||
        (flags >> OPCODE_SHIFT & 0xF) != static_cast<unsigned>(request.opcode) ||
        answerCount == 0) {
        return std::nullopt;
    }
    // Responses normally carry no question; one that does is read past.
    for (std::uint16_t i = 0; i < questionCount && reader.Ok(); ++i) {
        ReadName(reader);
        reader.Skip(4); // QUESTION_TYPE, QUESTION_CLASS
    }

    const NetbiosName name = ReadName(reader);
    const std::uint16_t type = reader.ReadU16();
    const std::uint16_t rrClass = reader.ReadU16();
    reader.Skip(4); // TTL
    const std::uint16_t dataLength = reader.ReadU16();
    ByteReader data(reader.ReadBytes(dataLength));
    if (!reader.Ok() || name != request.name || type != RR_TYPE_NB || rrClass != RR_CLASS_IN ||
        dataLength % NB_ADDRESS_ENTRY_LENGTH != 0) {
        return std::nullopt;
    }

    NameServiceResponse response{static_cast<std::uint8_t>(flags & RCODE_MASK), {}};
    for (std::uint16_t i = 0; i < dataLength / NB_ADDRESS_ENTRY_LENGTH; ++i) {
        data.Skip(2); // NB_FLAGS
        response.addresses.push_back(data.ReadU32());
    }
    return response;
}

std::optional<std::vector<Ipv4Address>>
ParsePositiveNameQueryResponse(std::span<const std::uint8_t> datagram, std::uint16_t trnId,
                               const NetbiosName& name)
{
    std::optional<NameServiceResponse> response =
        AcceptResponse(datagram, {trnId, NameServiceOpcode::Query, name});
    if (!response || response->rcode != 0 || response->addresses.empty()) {
        return std::nullopt;
    }
    return std::move(response->addresses);
}

std::optional<std::uint8_t>
ParseNegativeNameRegistrationResponse(std::span<const std::uint8_t> datagram, std::uint16_t trnId,
                                      const NetbiosName& name)
{
    const std::optional<NameServiceResponse> response =
        AcceptResponse(datagram, {trnId, NameServiceOpcode::Registration, name});
    if (!response || response->rcode == 0) {
        return std::nullopt;
    }
    return response->rcode;
}

} // namespace netbios
