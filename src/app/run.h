// Run control and the command line.
#pragma once

// Runs the program once; returns the run's result (not the exit status).
int runTool(int argc, char** argv);
// The main entry: runs the program and returns 0.
int velkoranMain(int argc, char** argv);

// Parses the options into toolContext; false after a printed error.
bool parseCommandLine(int argc, char** argv);
void printUsage();
