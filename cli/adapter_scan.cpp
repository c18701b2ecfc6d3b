#include "cli/adapter_scan.h"

#include <cstdio>

#include "netbios_probe/station_probe.h"

int FindStationLana()
{
    for (int lana = 0; lana <= MAX_LANA; ++lana) {
        const int code = ProbeLana(lana);
        std::printf("LANA=%d Ret.code=%d\n", lana, code);
        // A probe on a live adapter takes seconds: show each line as soon as it is known,
        // also when standard output is a pipe or a file.
        std::fflush(stdout);
        if (code == NRC_REMTFUL) {
            return lana;
        }
    }
    return -1;
}
