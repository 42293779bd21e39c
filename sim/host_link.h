// Where the KCS ports of build/host/velkoran-sim lead.
#pragma once

namespace sim {

constexpr const char* kBmcEnvironmentVariable = "VELKORAN_BMC";
constexpr const char* kInProcessBmc = "sim";

// VELKORAN_BMC=sim puts an in-process simulated BMC on the KCS ports;
// "unix:PATH" or "tcp:HOST:PORT" a KCS device that forwards every request to
// the BMC there (bmcsim, or anything speaking QEMU's external-BMC protocol).
// Unset, nothing answers on the ports (reads give 0xFF). Returns false, after
// a line on stderr, when it is set but not understood.
bool attachBmcFromEnvironment();

}  // namespace sim
