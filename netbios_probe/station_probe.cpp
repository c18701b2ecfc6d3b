#include "netbios_probe/station_probe.h"

#include <cstdio>
#include <cstring>

const char ClientNameTemplate[] = "%s.PELMOK.CLT";
const char ServerNameTemplate[] = "%s.COMMAND.SRV";

namespace {

constexpr UCHAR RESET_MAX_SESSIONS = 10;
constexpr UCHAR RESET_MAX_NAMES = 20;

// Formats a name from its template into a NetBIOS name field: from the first byte, cut at
// NCBNAMSZ characters, zero bytes after a shorter name. Nothing is written outside the field.
void PlaceName(UCHAR* field, const char* nameTemplate)
{
    char name[NCBNAMSZ + 1]; // room for a full field and the terminator snprintf adds
    std::snprintf(name, sizeof name, nameTemplate, StationName);
    std::memset(field, 0, NCBNAMSZ);
    std::memcpy(field, name, std::strlen(name));
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
