// Device settings commands: DATE, TIMEZONE, ALARM, CAPS, BEEP, REBOOT and LOCAL.
//
// Not built yet: each handler answers -3 (no handler), so the command loop
// reports the command as failed.

#include "command_shell.h"

int CommandShell::CmdAlarm(int, char**) { return -3; }
int CommandShell::CmdBeep(int, char**) { return -3; }
int CommandShell::CmdCaps(int, char**) { return -3; }
int CommandShell::CmdDate(int, char**) { return -3; }
int CommandShell::CmdLocal(int, char**) { return -3; }
int CommandShell::CmdReboot(int, char**) { return -3; }
int CommandShell::CmdTimeZone(int, char**) { return -3; }
