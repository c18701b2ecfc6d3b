// The adapter scan: probes LANA 0 to MAX_LANA in order and writes a trace line per probe.
#ifndef TOLVERIN_CLI_ADAPTER_SCAN_H
#define TOLVERIN_CLI_ADAPTER_SCAN_H

// Returns the first LANA whose probe ends with NRC_REMTFUL, or -1 if none does.
// StationName must hold the upper-cased station name.
int FindStationLana();

#endif
