// Test commands of the simulated BMC for transport checks (OEM network
// function, commands the product never sends).
#pragma once

#include <vector>

#include "bmc.h"
#include "bmcsim_options.h"

namespace sim {

constexpr uint8_t kProbeNetFnLun = 0xF8;
// Replies with completion code 0 and the request data.
constexpr uint8_t kProbeEcho = 0x70;
// Request data: count, first: replies with `count` data bytes first,
// first + 1, ... (modulo 256).
constexpr uint8_t kProbeSized = 0x71;
// Request data: code, data...: replies with that completion code and data.
constexpr uint8_t kProbeCode = 0x72;
// Never answered.
constexpr uint8_t kProbeSilent = 0x73;

void installProbeHandlers(Bmc& bmc);
// bmcsim: --probe installs them.
void addProbeOptions(std::vector<BmcsimOption>& options);

}  // namespace sim
