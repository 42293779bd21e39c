// The kernel's IPMI device as a transport: VELKORAN_IPMI_DEVICE, else
// /dev/ipmi0. A machine without the default device has no such way (open
// and nameBmc give 1), and the ports are tried next.
#pragma once

#include "state/transport.h"

namespace linuxplatform {

constexpr const char* kDeviceVariable = "VELKORAN_IPMI_DEVICE";
constexpr const char* kDefaultDevice = "/dev/ipmi0";

TransportOps deviceTransport();

}  // namespace linuxplatform
