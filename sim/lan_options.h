// bmcsim's LAN options: where it serves RMCP+, its one user, the cipher
// suites it offers and the fault knobs on its replies.
#pragma once

#include <vector>

#include "sim/bmcsim_options.h"

namespace sim {

void addLanOptions(std::vector<BmcsimOption>& options);

// The complaint about LAN options that do not go together, or nullptr.
const char* lanOptionsProblem(const BmcsimSettings& settings);

}  // namespace sim
