// Get Self Test Results for the simulated BMC: it always passed.
#pragma once

#include "sim/bmc.h"

namespace sim {

// Installs the handler unless the BMC already answers the command.
void addSelfTest(Bmc& bmc);

}  // namespace sim
