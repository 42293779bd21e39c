// The long options for unattended use (all begin with "--").
#pragma once

// Applies the long option at argv[index]: returns how many arguments it
// took, 0 when the argument is no long option, -1 after the banner and an
// error line.
int applyLongOption(int argc, char** argv, int index);
// How many arguments the long option (or unknown argument) at argv[index]
// takes, as applyLongOption counts them, without applying it.
int longOptionArguments(int argc, char** argv, int index);
// The image a --verify at argv[index] names; nullptr for other arguments.
const char* verifyImageAt(int argc, char** argv, int index);
// One line per long option (for --help).
void printLongOptions();
// The report file named anywhere on the command line (the last one), found
// before parsing so that a run refused for its command line is reported
// too; nullptr when none.
const char* findReportFile(int argc, char** argv);
