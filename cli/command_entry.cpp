#include "cli/command_entry.h"

#include <cstdio>

#include "cli/adapter_scan.h"
#include "netbios_probe/station_probe.h"

char StationName[STATION_NAME_SIZE];

int RunCommand(int argc, char* argv[])
{
    if (argc < 2) {
        std::printf("USAGE: TOLVERIN <station name>\n");
        std::fflush(stdout);
        return -1;
    }

    // A longer argument keeps its first 31 characters; the names built from it are cut
    // at 16 anyway.
    std::snprintf(StationName, sizeof StationName, "%s", argv[1]);
    CharUpperA(StationName);

    const int lana = FindStationLana();

    std::printf("\n----------------------------\n");
    if (lana == -1) {
        std::printf("\n Station '%s' not found \n", StationName);
    } else {
        std::printf("\n Station '%s' LANA=%d \n", StationName, lana);
    }
    std::fflush(stdout);
    return lana;
}
