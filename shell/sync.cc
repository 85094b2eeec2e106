// Directory synchronisation between the PC and the device (SYNC).
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdSync(int, char**) { return -3; }
