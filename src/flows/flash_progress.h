// The wait while the BMC programs its flash, and the question whether it is
// programming at all after an upload whose last answer went wrong.
#pragma once

namespace flows {

// Polls until the BMC reports 100 percent; false when it stopped reporting
// or took too long (the run is then unsettled: no cold reset, it may still
// be writing its flash).
bool pollFlashProgress();

// Asks the progress for up to 30 seconds; true as soon as the BMC answers
// with a percentage.
bool bmcReportsProgress();

}  // namespace flows
