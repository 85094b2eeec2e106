// The media stream command MCI.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdMci(int, char**) { return -3; }
