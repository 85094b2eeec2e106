// File commands: DIR, COPY, DEL, REN, MD, RD, CD, the drive letters, GETDIR and SETDIR.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdCd(int, char**) { return -3; }
int CommandShell::CmdCopy(int, char**) { return -3; }
int CommandShell::CmdDel(int, char**) { return -3; }
int CommandShell::CmdDir(int, char**) { return -3; }
int CommandShell::CmdMd(int, char**) { return -3; }
int CommandShell::CmdRd(int, char**) { return -3; }
int CommandShell::CmdRen(int, char**) { return -3; }
int CommandShell::CmdDrive(int, char**) { return -3; }
int CommandShell::CmdGetDir(int, char**) { return -3; }
int CommandShell::CmdSetDir(int, char**) { return -3; }
