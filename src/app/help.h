// What the program says about itself: --help, --version, and the names of
// the outcome classes that the help and the run log share.
#pragma once

#include "state/run_record.h"

// The banner, the long options and the outcome classes.
void printHelp();
// One line: the program's name (from argument 0), version and build.
void printVersion(const char* programPath);
// The build's identification (the source revision it was configured from,
// or "unknown").
const char* buildIdentification();
