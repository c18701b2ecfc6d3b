// The station probe: one self-contained NetBIOS exchange on one LAN adapter, telling how a
// call from this host to the station's command server ends there.
#ifndef TOLVERIN_NETBIOS_PROBE_STATION_PROBE_H
#define TOLVERIN_NETBIOS_PROBE_STATION_PROBE_H

#include "platform/netbios_platform.h"

constexpr int STATION_NAME_SIZE = 32; // 31 characters and the terminator

// The station being looked for, upper-cased. Filled once by the command entry before the
// first probe and read-only from then on.
extern char StationName[STATION_NAME_SIZE];

// Templates of the two NetBIOS names; "%s" stands for StationName.
extern const char ClientNameTemplate[]; // registered here as a group name
extern const char ServerNameTemplate[]; // the station's command server

// Sets every byte of the control block to zero.
void ClearNcb(NCB* ncb);

// Resets adapter `lana` (0 to MAX_LANA), registers the client name, and if that succeeds
// calls the server name and deletes the client name again. Returns the registration's
// return code if it failed, else the call's (NRC_REMTFUL marks the station's adapter).
int ProbeLana(int lana);

#endif
