#include "netbios/netbios.h"

// Placeholder until the NetBIOS-over-TCP/IP layer lands: no adapters.
extern "C" UCHAR Netbios(PNCB ncb)
{
    ncb->ncb_retcode = NRC_BRIDGE;
    return NRC_BRIDGE;
}
