// bmcsim options of the configuration task handler (sim/config_bmc.h).
#pragma once

#include <vector>

#include "bmcsim_options.h"

namespace sim {

// The configuration served and kept, and the report.
void addConfigOptions(std::vector<BmcsimOption>& options);
// The misbehaviour knobs (added by addConfigOptions).
void addConfigFaultOptions(std::vector<BmcsimOption>& options);

}  // namespace sim
