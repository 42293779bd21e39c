// Run control's side of unattended use: the long options, the run record
// (outcome, exit status, log) and the steps that the options add around a
// mode.
#pragma once

#include "state/run_record.h"

// Applies the long option at argv[index]: returns how many arguments it
// took, 0 when the argument is no long option, -1 after the banner and an
// error line.
int applyLongOption(int argc, char** argv, int index);
// The report file named anywhere on the command line (the last one), found
// before parsing so that a run refused for its command line is reported
// too; nullptr when none.
const char* findReportFile(int argc, char** argv);

// First thing of every run: clears the options and the outcome and starts
// the log's watch of the console.
void beginRunRecord(int argc, char** argv);
// Ends the record (the log's last line) once; returns the exit status.
int endRunRecord();
// Notes a bad command line; returns the run's result 0.
int endBadCommandLine();
// Combinations of options that cannot work: banner and an error line.
bool unattendedOptionsValid();
// --bmc-info runs alone: no mode option beside it (banner and an error line).
bool bmcInfoAlone();

// The modes with what the options add around them.
int runUpdateAndWaitForBmc();
int runDumpAndVerify();
