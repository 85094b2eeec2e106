// Image commands: BUILDIMAGE, DOWNIMAGE, PAKIMAGE, UNPAKIMAGE and UPDATEIMAGE.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdBuildImage(int, char**) { return -3; }
int CommandShell::CmdDownImage(int, char**) { return -3; }
int CommandShell::CmdPakImage(int, char**) { return -3; }
int CommandShell::CmdUnpakImage(int, char**) { return -3; }
int CommandShell::CmdUpdateImage(int, char**) { return -3; }
