// The external-BMC link as a transport: VELKORAN_BMC=unix:PATH|tcp:HOST:PORT
// reaches bmcsim, or any peer speaking QEMU's external-BMC protocol.
#pragma once

#include "state/transport.h"

namespace linuxplatform {

constexpr const char* kBmcVariable = "VELKORAN_BMC";

// VELKORAN_BMC is set: the link is the way to the BMC.
bool linkRequested();
TransportOps linkTransport();

}  // namespace linuxplatform
