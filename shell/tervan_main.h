// The Tervan program: argument parsing, start-up, the command loop and
// teardown. main() only calls RunTervan, so tests can run the whole program
// in-process.
#pragma once

class CommandShell;

// Runs Tervan with its command line; returns the process exit code: 0 after
// a run whose commands all succeeded, kFailedStatus when a command of a
// batch or of piped input failed, kInterruptedStatus after Ctrl-C, -1 after
// a usage exit or a failed OS download.
int RunTervan(int argc, char** argv);

// The command loop: prompt (interactive mode only), read a line, look its
// first word up, dispatch, report failures; until a command answers 0 or the
// input ends. Returns the exit status: 0 when every command succeeded (or
// the commands were typed at a terminal), kFailedStatus when a command
// failed, was unknown, or ended the run (a refused SWITCH of a batch); with
// the shell's stopOnError the first failure ends the loop there. A command
// stopped by Ctrl-C ends a batch or piped run with kInterruptedStatus
// (128 + SIGINT, as shells report it); at a terminal the prompt comes back.
// A run that ends before its input does says why on standard error.
int RunCommandLoop(CommandShell& shell);
constexpr int kFailedStatus = 1;
constexpr int kInterruptedStatus = 130;
