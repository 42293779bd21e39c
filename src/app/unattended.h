// Run control's side of unattended use: the long options, the run record
// (outcome, exit status, log) and the steps that the options add around a
// mode.
#pragma once

#include "state/run_record.h"

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

// First thing of every run: clears the options and the outcome and starts
// the log's watch of the console.
void beginRunRecord(int argc, char** argv);
// Ends the record (the log's last line) once, after removing the boot entry
// that started a job run with --once; returns the exit status.
int endRunRecord();
// Ends the record like endRunRecord, then restarts or powers off the machine
// when the options ask for it and a job ran (never after a refused command
// line, --help or --version); returns the exit status where it comes back.
int concludeRun();
// Notes a bad command line; returns the run's result 0.
int endBadCommandLine();
// Whether --status is given anywhere on the command line (not as the value
// of another option): it then applies to every outcome, even an argument
// the parser stops at.
bool statusAnywhere(int argc, char** argv);
// The file that the command line names with -f, -d (or its temporary name)
// or --verify, wherever the parser would stop, that `name` leads to as well;
// nullptr when none. A log is never written into one of them.
const char* namedFileSharedWith(int argc, char** argv, const char* name);
// Combinations of options that cannot work: banner and an error line.
bool unattendedOptionsValid(int argc, char** argv);
// The --verify image can be opened and measured; false after its error
// line. Checked before the BMC is asked for anything.
bool verifyImageReadable();
// --bmc-info runs alone: no mode option beside it (banner and an error line).
bool bmcInfoAlone();

// The modes with what the options add around them.
int runUpdateAndWaitForBmc();
int runDumpAndVerify();
