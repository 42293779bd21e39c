// Run control and the command line.
#pragma once

#include "state/tool_context.h"

constexpr const char* kProgramVersion = "2.08";

// Runs the program once; returns the run's result (not the exit status).
int runTool(int argc, char** argv);
// The main entry: runs the program and returns the exit status: 0, or with
// --status the outcome class (state/run_record.h). A platform whose programs
// are expected to report what happened passes exitStatusByDefault = true to
// report the outcome class without --status.
int velkoranMain(int argc, char** argv, bool exitStatusByDefault = false);
// Makes every later run bind this transport instead of the KCS interface
// (a platform whose start-up knows a better way to the BMC).
void offerTransport(const TransportOps& transport);
// Makes every later run first claim the BMC that its transport names
// through claim(), which returns false when another run of the program is
// using it (the run then ends at once, before any request, as refused).
void offerBmcClaim(bool (*claim)(const char* bmcName));
// A platform whose transport reaches the BMC that -i lan -h names (its open
// looks at the interface) says so, with the function that finds the LAN
// password where -p did not give one; false after its own line. Without
// it, -i lan with complete settings is refused before anything is sent.
void offerLan(bool (*findPassword)());
bool lanOffered();
// True when no LAN was offered or its password finder found one (from -p,
// or where the platform keeps it); false after the finder's own line.
bool findLanPasswordIfOffered();
// argv[index] as the console, the log and the report show it: a password
// given with -p is shown as "********".
const char* shownArgument(int argc, char** argv, int index);

// Puts the program's own modules (the configuration module table) into
// toolContext; the main entry does it before its run.
void installProgramModules();
// Puts every field of toolContext back to the program's initial state, the
// modules installed (host tests run many programs in one process).
void resetToolContext();

// Parses the options into toolContext; false after a printed error.
bool parseCommandLine(int argc, char** argv);
// How many arguments the parser takes from argv[index] on (an option and its
// values; 1 for an argument it refuses), so that the command line can be
// walked beyond an error without parsing it.
int argumentsTaken(int argc, char** argv, int index);
void printUsage();
