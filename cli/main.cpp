// tolverin STATION: finds the LAN adapter through which this host reaches the station's
// command server over NetBIOS, and exits with its number (or -1).
#include "cli/command_entry.h"

int main(int argc, char* argv[])
{
    return RunCommand(argc, argv);
}
