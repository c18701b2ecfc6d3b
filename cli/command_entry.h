// The command entry: checks the command line, runs the adapter scan, writes the report.
#ifndef TOLVERIN_CLI_COMMAND_ENTRY_H
#define TOLVERIN_CLI_COMMAND_ENTRY_H

// Runs the command for main()'s arguments. Returns the exit status: the station's LANA,
// or -1 when it was not found or no station name was given.
int RunCommand(int argc, char* argv[]);

#endif
