// BUILDSIMUBIN: the simulator NAND file built from a PC folder tree.
//
// Not built yet: the handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdBuildSimuBin(int, char**) { return -3; }
