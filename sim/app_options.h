// bmcsim options of the application requests: the firmware revision that
// Get Device ID reports and the BMC's reboot time.
#pragma once

#include <vector>

#include "bmcsim_options.h"

namespace sim {

void addAppOptions(std::vector<BmcsimOption>& options);

}  // namespace sim
