// The host's local time for run records, and a fake one for tests.
#pragma once

#include "platform/platform.h"

namespace hostplatform {

// While set, localTime() gives `start` advanced by the virtual clock time
// that passed since this call; nullptr goes back to the real local time.
void setFakeLocalTime(const platform::CalendarTime* start);

}  // namespace hostplatform
