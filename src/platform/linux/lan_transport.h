// `-i lan`: the BMC at -h HOST [PORT] over an RMCP+ session, instead of the
// local one. The session opens with the transport, closes with it, at the
// end of the program and when a signal ends it; after a cold reset or an
// update the BMC programmed, every request has a session of its own (the
// BMC restarts and forgets the old one).
#pragma once

#include <cstdint>

#include "state/transport.h"

namespace linuxplatform {

bool lanRequested();
// open: 0, or -1 after the reason (console line and outcome, or a line on
// stderr).
TransportOps lanTransport();
// For a signal handler: a Close Session to the BMC when a session is open.
void lanFarewell();

}  // namespace linuxplatform
