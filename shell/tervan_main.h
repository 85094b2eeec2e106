// The Tervan program: argument parsing, start-up, the command loop and
// teardown. main() only calls RunTervan, so tests can run the whole program
// in-process.
#pragma once

class CommandShell;

// Runs Tervan with its command line; returns the process exit code (0 after
// a normal end, -1 after a usage exit or a failed OS download).
int RunTervan(int argc, char** argv);

// The command loop: prompt (interactive mode only), read a line, look its
// first word up, dispatch, report failures; until a command answers 0 or the
// input ends. Returns the exit status: 0, or 1 when the shell's stopOnError
// is set and a command failed (or was unknown), which ends the loop there.
// A command stopped by Ctrl-C ends a batch or piped run with kInterruptedStatus
// (128 + SIGINT, as shells report it); at a terminal the prompt comes back.
int RunCommandLoop(CommandShell& shell);
constexpr int kInterruptedStatus = 130;
