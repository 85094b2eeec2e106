// The Tervan program: argument parsing, start-up, the command loop and
// teardown. main() only calls RunTervan, so tests can run the whole program
// in-process.
#pragma once

// Runs Tervan with its command line; returns the process exit code (0 after
// a normal end, -1 after a usage exit or a failed OS download).
int RunTervan(int argc, char** argv);
