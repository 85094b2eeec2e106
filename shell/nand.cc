// NAND maintenance and boot-area commands.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdBios(int, char**) { return -3; }
int CommandShell::CmdReadBios(int, char**) { return -3; }
int CommandShell::CmdSetEccMethod(int, char**) { return -3; }
int CommandShell::CmdGetEccMethod(int, char**) { return -3; }
int CommandShell::CmdSetEccRom(int, char**) { return -3; }
int CommandShell::CmdGetEccRom(int, char**) { return -3; }
int CommandShell::CmdSetBadBlockInfo(int, char**) { return -3; }
int CommandShell::CmdGetBadBlockInfo(int, char**) { return -3; }
int CommandShell::CmdNandInfo(int, char**) { return -3; }
int CommandShell::CmdNandWrite(int, char**) { return -3; }
int CommandShell::CmdNandRead(int, char**) { return -3; }
int CommandShell::CmdNandErase(int, char**) { return -3; }
int CommandShell::CmdNandMRead(int, char**) { return -3; }
