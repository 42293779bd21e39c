// The run log (--log FILE): a record of one run appended to a file. Its
// first line gives the start time, the version and the command line, then
// every console line as it finally stood (a progress line once, as it was
// last rewritten), then a last line with the outcome and the elapsed time.
#pragma once

#include <cstdint>

#include "state/run_record.h"

namespace runlog {

// Starts watching the console; the file named by runOptions.logFile is
// opened at the first finished console line after it is known.
void begin(int argc, char** argv);
// Writes the pending console text and the last line, closes the file and
// stops watching the console.
void end(RunOutcome outcome);

}  // namespace runlog
