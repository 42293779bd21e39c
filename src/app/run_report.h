// The run report (--report FILE): one JSON document per run, written at its
// very end (after the log's last line) under a temporary name and put in
// place when whole, for tools that orchestrate many machines. Its layout is
// versioned by the "schema" member; see doc/report.md.
#pragma once

#include <cstddef>

#include "state/run_record.h"

namespace runreport {

constexpr unsigned kSchema = 1;

// Notes the start time and the arguments; clears the error lines.
void begin(int argc, char** argv);
// Every console line as it finally stood; error lines are kept.
void noteConsoleLine(const char* line, size_t length);
// True when the report would go into a file the run reads or writes: the
// file of -f, -d (or its temporary name), --verify or --log, by any name.
bool namesAnotherFile();
// A run that a signal stopped shows the status the shell sees for it.
constexpr unsigned kSignalBase = 128;
struct ShownOutcome {
  unsigned number;
  const char* name;
};
// The class and name that the log and the report give for the outcome.
ShownOutcome shownOutcome(RunOutcome outcome);

// Writes the report when one was asked for (never over another file of the
// run); a report that cannot be written is said on the console.
void end(RunOutcome outcome);

}  // namespace runreport
