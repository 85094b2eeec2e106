// The commands that do no work on the device: ECHO, EXIT/QUIT/Q, REM, CLS,
// VERIFY and the commands accepted without work.

#include "command_shell.h"
#include "tervlink/text.h"

// AT, RTOS, TEST and the empty line. The commands say that they did nothing.
int CommandShell::CmdIdle(int, char** argv) {
  if (argv[0][0] == '\0') return 1;  // a line of nothing but its end
  return DoesNothingHere(argv[0]);
}

int CommandShell::DoesNothingHere(const char* what) {
  host::PrintError("Tervan: %s 在这个设备上不做任何事 (接受了命令, 但没有执行任何操作)", what);
  return 1;
}

// Comment lines of batch files.
int CommandShell::CmdRem(int, char**) { return 1; }

// Prints each argument followed by a blank, then a newline; nothing at all
// without arguments. There is no echo state.
int CommandShell::CmdEcho(int argc, char** argv) {
  if (argc < 2) return 1;
  for (int i = 1; i < argc; ++i) Printf("%s ", argv[i]);
  Printf("\n");
  return 1;
}

int CommandShell::CmdExit(int argc, char**) { return argc == 1 ? 0 : -2; }

// Clears the terminal that standard output is; nothing off a terminal.
int CommandShell::CmdCls(int argc, char**) {
  if (argc != 1) return -2;
  if (!output || output == &host::StdOut()) {
    host::Out().Flush();
    host::ClearTerminal();
  }
  return 1;
}

// VERIFY [ON|OFF]: the engine's read-back verify of every write.
int CommandShell::CmdVerify(int argc, char** argv) {
  if (argc == 1) {
    Printf("VERIFY 为 %s\n", fat->verify ? "ON" : "OFF");
    return 1;
  }
  if (argc != 2) return -2;
  if (text::EqualNoCase(argv[1], "ON"))
    fat->verify = 1;
  else if (text::EqualNoCase(argv[1], "OFF"))
    fat->verify = 0;
  else
    return -2;
  return 1;
}
