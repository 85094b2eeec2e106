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
// input ends.
void RunCommandLoop(CommandShell& shell);
