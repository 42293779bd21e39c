// Run control and the command line.
#pragma once

#include "state/tool_context.h"

// Runs the program once; returns the run's result (not the exit status).
int runTool(int argc, char** argv);
// Makes every later run bind these transport operations instead of the KCS
// interface's (a platform whose start-up knows a better way to the BMC).
void offerTransport(const TransportOps& transport);
// The main entry: runs the program and returns 0.
int velkoranMain(int argc, char** argv);

// Parses the options into toolContext; false after a printed error.
bool parseCommandLine(int argc, char** argv);
void printUsage();
