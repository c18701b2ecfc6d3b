#include "netbios_probe/station_probe.h"

#include <cstdio>
#include <cstring>

const char ClientNameTemplate[] = "%s.PELMOK.CLT";
const char ServerNameTemplate[] = "%s.COMMAND.SRV";

namespace {

constexpr UCHAR RESET_MAX_SESSIONS = 10;
constexpr UCHAR RESET_MAX_NAMES = 20;

// Room for any name a template can make: the longest station name, the longer suffix, and
// the terminator.
constexpr std::size_t FORMATTED_NAME_SIZE = STATION_NAME_SIZE + 16;

// Formats a name from its template into a NetBIOS name field: from the first byte, cut at
// NCBNAMSZ characters, zero bytes after a shorter name. Nothing is written outside the field.
void PlaceName(UCHAR* field, const char* nameTemplate)
{
    char name[FORMATTED_NAME_SIZE];
    std::snprintf(name, sizeof name, nameTemplate, StationName);
    const std::size_t fieldSize = NCBNAMSZ;
    const std::size_t length = std::strlen(name);
    std::memset(field, 0, fieldSize);
    std::memcpy(field, name, length < fieldSize ? length : fieldSize);
}

void PrepareNcb(NCB* ncb, UCHAR command, int lana)
{
    ClearNcb(ncb);
    ncb->ncb_command = command;
    ncb->ncb_lana_num = static_cast<UCHAR>(lana);
}

} // namespace

void ClearNcb(NCB* ncb)
{
    std::memset(ncb, 0, sizeof *ncb);
}

int ProbeLana(int lana)
{
    NCB ncb;

    // Reset: lsn 0 frees the adapter's NetBIOS resources and allocates new ones.
    PrepareNcb(&ncb, NCBRESET, lana);
    ncb.ncb_callname[0] = RESET_MAX_SESSIONS;
    ncb.ncb_callname[2] = RESET_MAX_NAMES;
    Netbios(&ncb);

    PrepareNcb(&ncb, NCBADDGRNAME, lana);
    PlaceName(ncb.ncb_name, ClientNameTemplate);
    Netbios(&ncb);
    if (ncb.ncb_retcode != NRC_GOODRET) {
        return ncb.ncb_retcode; // nothing registered, so nothing to delete
    }

    // Synchronous call: no post routine, no event, and no send or receive timeouts.
    PrepareNcb(&ncb, NCBCALL, lana);
    PlaceName(ncb.ncb_callname, ServerNameTemplate);
    PlaceName(ncb.ncb_name, ClientNameTemplate);
    Netbios(&ncb);
    const int result = ncb.ncb_retcode;

    PrepareNcb(&ncb, NCBDELNAME, lana);
    PlaceName(ncb.ncb_name, ClientNameTemplate);
    Netbios(&ncb);

    return result;
}
