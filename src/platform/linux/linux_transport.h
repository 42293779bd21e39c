// The transport of the Linux build, chosen when run control opens it:
//   VELKORAN_BMC=unix:PATH|tcp:HOST:PORT  the external-BMC link (bmcsim, or a
//                                         peer speaking QEMU's protocol);
//   otherwise the kernel's IPMI device    VELKORAN_IPMI_DEVICE, else /dev/ipmi0;
//   when that does not exist              the KCS ports themselves (ioperm),
//                                         unless the kernel's driver has them.
#pragma once

#include <cstdint>

#include "state/tool_context.h"

namespace linuxplatform {

constexpr const char* kBmcVariable = "VELKORAN_BMC";
constexpr const char* kDeviceVariable = "VELKORAN_IPMI_DEVICE";
constexpr const char* kDefaultDevice = "/dev/ipmi0";
// Lists the interfaces the kernel's KCS driver has taken.
constexpr const char* kKernelKcsDriver = "/sys/bus/platform/drivers/ipmi_si";

// open, transfer and close for run control.
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

// Takes this run's lock on the BMC that open() will reach; false when
// another run holds it. One that cannot be taken is said and let go.
bool claimBmc();

}  // namespace linuxplatform
