// The registry command REGEDIT and the registry data file.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdRegedit(int, char**) { return -3; }
