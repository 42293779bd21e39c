// After a dump: compares it with an image file region by region (no
// request goes to the BMC) and prints one verdict line per region.
#pragma once

// Notes a file problem or differences in the run's outcome.
void verifyDump(const char* imageName, const char* dumpName);
