// Where the KCS ports of build/host/velkoran lead.
#pragma once

namespace sim {

constexpr const char* kBmcEnvironmentVariable = "VELKORAN_BMC";

// When VELKORAN_BMC names a socket ("unix:PATH" or "tcp:HOST:PORT"), puts a
// KCS device on the port bus that forwards every request to the BMC there
// (bmcsim, or anything speaking QEMU's external-BMC protocol). When the
// variable is not set, the ports lead to an in-process simulated BMC. Returns
// false, after a line on stderr, when it is set but not understood.
bool attachBmcFromEnvironment();

}  // namespace sim
