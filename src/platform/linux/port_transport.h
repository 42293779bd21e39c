// The KCS ports themselves (ioperm), when the machine has no IPMI device:
// the ports kcs.cfg names, if root may trust that file, or the default
// ones; never while the kernel's own KCS driver polls them.
#pragma once

#include "state/transport.h"

namespace linuxplatform {

// Lists the interfaces the kernel's KCS driver has taken.
constexpr const char* kKernelKcsDriver = "/sys/bus/platform/drivers/ipmi_si";

TransportOps portTransport();

}  // namespace linuxplatform
