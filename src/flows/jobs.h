// The firmware jobs with what the unattended options add around them.
#pragma once

// The update; with --wait-bmc, the revision before it and the wait for the
// BMC to answer again after it.
int runUpdateAndWaitForBmc();
// The dump; with --verify, its comparison with the image once it succeeded.
int runDumpAndVerify();
