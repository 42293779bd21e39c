// bmcsim's options for the firmware commands (sim/firmware_bmc.h).
#pragma once

#include <vector>

#include "bmcsim_options.h"

namespace sim {

void addFirmwareOptions(std::vector<BmcsimOption>& options);

}  // namespace sim
