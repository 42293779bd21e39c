// bmcsim options of the configuration task handler (sim/config_bmc.h).
#pragma once

#include <vector>

#include "bmcsim_options.h"

namespace sim {

// The configuration served and kept, the report and the misbehaviour knobs.
void addConfigOptions(std::vector<BmcsimOption>& options);

}  // namespace sim
