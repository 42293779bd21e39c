// The run record's lifecycle: what every run does first and last (outcome,
// exit status, log, report, and what the options ask of the machine after).
#pragma once

#include "state/run_record.h"

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
