// Disk commands: SWITCH, PART, FORMAT, LOWFORMAT, SHOWTBL and GETBLOCKTABLE.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdSwitch(int, char**) { return -3; }
int CommandShell::CmdPart(int, char**) { return -3; }
int CommandShell::CmdFormat(int, char**) { return -3; }
int CommandShell::CmdLowFormat(int, char**) { return -3; }
int CommandShell::CmdShowTbl(int, char**) { return -3; }
int CommandShell::CmdGetBlockTable(int, char**) { return -3; }
