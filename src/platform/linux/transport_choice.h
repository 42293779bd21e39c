// The one place the Linux build chooses its way to the BMC, in this order:
//   -i lan                                the BMC that -h names (RMCP+);
//   VELKORAN_BMC=unix:PATH|tcp:HOST:PORT  the external-BMC link (bmcsim, or a
//                                         peer speaking QEMU's protocol);
//   the kernel's IPMI device              VELKORAN_IPMI_DEVICE, else /dev/ipmi0;
//   when that does not exist              the KCS ports themselves (ioperm),
//                                         unless the kernel's driver has them.
// A new way is one file beside these and one row in the table.
#pragma once

#include "state/transport.h"

namespace linuxplatform {

// The chosen way as one transport: its open and nameBmc walk the table to
// the first way there is, and the choice holds for the rest of the process.
TransportOps chosenTransport();

}  // namespace linuxplatform
