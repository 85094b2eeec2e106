// Entry of the Tervan console program.

#include "tervan_main.h"

int main(int argc, char** argv) { return RunTervan(argc, argv); }
