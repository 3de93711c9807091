// Command line of the card program: six positional arguments into the process-wide settings.
#ifndef TVK_CMDLINE_H
#define TVK_CMDLINE_H

// Prints the banner and revision lines, checks and parses the arguments into the
// settings of Globals.h and prints the run-mode line. Returns 0, or -1 when the
// program must end (too few arguments; modular build: invalid presence mask).
int parseCommandLine(int argc, char **argv);

#endif
