// The one place where the command meets its platform: Netbios, NCB and the NetBIOS
// constants, and CharUpperA. Windows supplies them from its SDK (NETAPI32, USER32);
// elsewhere the project's own NetBIOS-over-TCP/IP layer declares the same names and values.
#ifndef TOLVERIN_PLATFORM_NETBIOS_PLATFORM_H
#define TOLVERIN_PLATFORM_NETBIOS_PLATFORM_H

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which defines the types that NCB is made of.
#include <nb30.h>
#else
#include "netbios/netbios.h"
#endif

#endif
