// The Linux build's way to the BMC as run control binds it (the choice of
// transport_choice.h, watched for signals), the signals themselves, and the
// one-run lock.
#pragma once

#include <cstdint>

#include "state/transport.h"

namespace linuxplatform {

// The chosen transport for run control: every request first ends the run
// when a signal asks for it, or fails while the image goes out (below).
TransportOps linuxTransport();

// Ctrl-C and friends (SIGINT, SIGTERM, SIGHUP, SIGQUIT; one ignored at the
// start stays ignored). An update that is sending its image stops at the next
// request by failing it, so that it ends as a failed update does, with the
// cold reset, and without waiting for the BMC after it; while the BMC
// programs its flash the program leaves at the next request or wait and says
// so (a reset then would do harm). At any other time the signal ends the
// program at its next request or wait (within a second), after its log and
// report. SIGPIPE and SIGXFSZ are ignored: the write fails instead.
void installInterruptHandlers();
// The signal that arrived and waits to end the program (0: none).
int pendingInterrupt();
// Ends the run (log, report, then the signal's own end) when a signal came
// and no image is half sent; returns otherwise.
void endRunIfStopped();

// Takes this run's lock on the BMC of that name (the transport's); false
// when another run holds it. One that cannot be taken is said and let go.
bool claimBmc(const char* bmcName);

}  // namespace linuxplatform
