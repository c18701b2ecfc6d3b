// The command table: Netbios() checks a control block, runs its command on its adapter with
// the name service and session exchanges, and reports the outcome in the block.
#include "netbios/netbios.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "adapters.h"
#include "codec/netbios_name.h"
#include "io/deadline.h"
#include "io/name_service_exchange.h"
#include "io/session_exchange.h"
#include "io/socket.h"

namespace netbios {

namespace {

constexpr std::size_t DEFAULT_MAX_SESSIONS = 16;        // NCBRESET asking for 0 sessions
constexpr std::size_t DEFAULT_MAX_NAMES = 16;           // NCBRESET asking for 0 names
constexpr std::size_t MOST_NUMBERS = 254;               // name numbers and session numbers 1 to 254
constexpr std::chrono::seconds CALL_LIMIT{15};          // no NCBCALL lasts longer
constexpr UCHAR NEGATIVE_INSUFFICIENT_RESOURCES = 0x83; // called name present, no room

struct LocalName {
    NetbiosName name;
    UCHAR number;
};

struct Session {
    UCHAR lsn;
    NetbiosName localName;
    Socket connection;
};

// What this process holds on one adapter.
struct AdapterState {
    bool reset = false;
    std::size_t maxNames = 0;
    std::size_t maxSessions = 0;
    std::vector<LocalName> names; // group names, the only kind added here
    std::vector<Session> sessions;
    UCHAR lastNameNumber = 0;
    UCHAR lastLsn = 0;
};

struct Layer {
    std::vector<Adapter> adapters;
    std::vector<AdapterState> states;
};

// The adapter table is read once, at the first command of the process.
Layer& TheLayer()
{
    static Layer layer = [] {
        Layer read;
        read.adapters = ReadAdapters();
        read.states.resize(read.adapters.size());
        return read;
    }();
    return layer;
}

std::mutex layerMutex; // one command at a time

NetbiosName NameField(const UCHAR* field)
{
    NetbiosName name;
    std::memcpy(name.data(), field, name.size());
    return name;
}

BroadcastEndpoint EndpointOf(const Adapter& adapter)
{
    return {adapter.address, adapter.broadcast};
}

// The first number after `last`, counting 1 to 254 and round again, that is not in use. A
// number is drawn only while its table holds fewer than 254 entries, so there always is one.
template <typename InUse> UCHAR NextNumber(UCHAR last, InUse inUse)
{
    UCHAR number = last;
    do {
        number = static_cast<UCHAR>(number % MOST_NUMBERS + 1);
    } while (inUse(number));
    return number;
}

std::size_t Limit(UCHAR asked, std::size_t byDefault)
{
    return asked == 0 ? byDefault : std::min<std::size_t>(asked, MOST_NUMBERS);
}

std::vector<LocalName>::iterator FindName(AdapterState& state, const NetbiosName& name)
{
    return std::find_if(state.names.begin(), state.names.end(),
                        [&](const LocalName& entry) { return entry.name == name; });
}

UCHAR Reset(const Adapter& adapter, AdapterState& state, const NCB& ncb)
{
    for (const LocalName& entry : state.names) {
        ReleaseName(EndpointOf(adapter), entry.name, NameKind::Group);
    }
    state = AdapterState{};
    state.reset = true;
    state.maxSessions = Limit(ncb.ncb_callname[0], DEFAULT_MAX_SESSIONS);
    state.maxNames = Limit(ncb.ncb_callname[2], DEFAULT_MAX_NAMES);
    return NRC_GOODRET;
}

UCHAR AddGroupName(const Adapter& adapter, AdapterState& state, NCB& ncb)
{
    const NetbiosName name = NameField(ncb.ncb_name);
    if (name[0] == '*') {
        return NRC_NOWILD;
    }
    if (FindName(state, name) != state.names.end()) {
        return NRC_DUPNAME;
    }
    if (state.names.size() >= state.maxNames) {
        return NRC_NAMTFUL;
    }
    switch (RegisterName(EndpointOf(adapter), name, NameKind::Group)) {
    case RegistrationResult::Refused:
        return NRC_INUSE;
    case RegistrationResult::Failed:
        return NRC_SYSTEM;
    case RegistrationResult::Registered:
        break;
    }
    const UCHAR number = NextNumber(state.lastNameNumber, [&](UCHAR candidate) {
        return std::any_of(state.names.begin(), state.names.end(),
                           [&](const LocalName& entry) { return entry.number == candidate; });
    });
    state.names.push_back({name, number});
    state.lastNameNumber = number;
    ncb.ncb_num = number;
    return NRC_GOODRET;
}

UCHAR CallOutcomeCode(const CallResult& result)
{
    switch (result.outcome) {
    case CallOutcome::Established:
        return NRC_GOODRET;
    case CallOutcome::Rejected:
        return result.errorCode == NEGATIVE_INSUFFICIENT_RESOURCES ? NRC_REMTFUL : NRC_NOCALL;
    case CallOutcome::NotListening:
    case CallOutcome::RetargetAgain:
        return NRC_NOCALL;
    case CallOutcome::TimedOut:
        return NRC_CMDTMO;
    case CallOutcome::PeerClosed:
        return NRC_SABORT;
    case CallOutcome::Malformed:
    case CallOutcome::Failed:
        return NRC_SYSTEM;
    }
    return NRC_SYSTEM;
}

UCHAR Call(const Adapter& adapter, AdapterState& state, NCB& ncb)
{
    const Deadline whole = Deadline::After(CALL_LIMIT);
    const NetbiosName calling = NameField(ncb.ncb_name);
    const NetbiosName called = NameField(ncb.ncb_callname);
    if (FindName(state, calling) == state.names.end()) {
        return NRC_NOWILD;
    }
    if (state.sessions.size() >= state.maxSessions) {
        return NRC_LOCTFUL;
    }

    const QueryResult query = QueryName(EndpointOf(adapter), called);
    if (query.failed) {
        return NRC_SYSTEM;
    }
    const std::optional<Ipv4Address> remote = ChooseCallAddress(adapter, query.addresses);
    if (!remote) {
        return NRC_NOCALL;
    }

    CallResult result = CallSession(adapter.address, *remote, called, calling, whole);
    const UCHAR code = CallOutcomeCode(result);
    if (result.outcome == CallOutcome::Established) {
        const UCHAR lsn = NextNumber(state.lastLsn, [&](UCHAR candidate) {
            return std::any_of(state.sessions.begin(), state.sessions.end(),
                               [&](const Session& session) { return session.lsn == candidate; });
        });
        state.sessions.push_back({lsn, calling, std::move(result.session)});
        state.lastLsn = lsn;
        ncb.ncb_lsn = lsn;
    }
    return code;
}

UCHAR DeleteName(const Adapter& adapter, AdapterState& state, const NCB& ncb)
{
    const NetbiosName name = NameField(ncb.ncb_name);
    const auto entry = FindName(state, name);
    if (entry == state.names.end()) {
        return NRC_NOWILD;
    }
    ReleaseName(EndpointOf(adapter), name, NameKind::Group);
    state.names.erase(entry);
    const bool inSession =
        std::any_of(state.sessions.begin(), state.sessions.end(),
                    [&](const Session& session) { return session.localName == name; });
    return inSession ? NRC_ACTSES : NRC_GOODRET;
}

bool Implemented(UCHAR command)
{
    return command == NCBRESET || command == NCBADDGRNAME || command == NCBCALL ||
           command == NCBDELNAME;
}

UCHAR Run(NCB& ncb)
{
    const std::lock_guard<std::mutex> lock(layerMutex);
    Layer& layer = TheLayer();
    if ((ncb.ncb_command & ASYNCH) != 0 || !Implemented(ncb.ncb_command)) {
        return NRC_ILLCMD;
    }
    if (ncb.ncb_lana_num >= layer.adapters.size()) {
        return NRC_BRIDGE;
    }
    const Adapter& adapter = layer.adapters[ncb.ncb_lana_num];
    AdapterState& state = layer.states[ncb.ncb_lana_num];
    if (ncb.ncb_command == NCBRESET) {
        return Reset(adapter, state, ncb);
    }
    if (!state.reset) {
        return NRC_ENVNOTDEF;
    }
    switch (ncb.ncb_command) {
    case NCBADDGRNAME:
        return AddGroupName(adapter, state, ncb);
    case NCBCALL:
        return Call(adapter, state, ncb);
    default:
        return DeleteName(adapter, state, ncb);
    }
}

} // namespace

} // namespace netbios

extern "C" UCHAR Netbios(PNCB ncb)
{
    if (ncb == nullptr) {
        return NRC_SYSTEM;
    }
    ncb->ncb_retcode = NRC_PENDING;
    ncb->ncb_cmd_cplt = NRC_PENDING;
    UCHAR code = NRC_SYSTEM;
    try {
        code = netbios::Run(*ncb);
    } catch (...) {
        // Nothing thrown inside the layer reaches the caller: it sees a system error.
        code = NRC_SYSTEM;
    }
    ncb->ncb_retcode = code;
    ncb->ncb_cmd_cplt = code;
    return code;
}
