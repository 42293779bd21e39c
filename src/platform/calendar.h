// Calendar arithmetic for run records: local times to seconds and back, and
// their text. Plain proleptic Gregorian dates, no time zones.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace calendar {

// Seconds since 1970-01-01 00:00:00 of the same clock.
int64_t toSeconds(const platform::CalendarTime& time);
platform::CalendarTime fromSeconds(int64_t seconds);
// The local clock in seconds as toSeconds counts them; false without a clock.
bool nowSeconds(int64_t* seconds);
// "YYYY-MM-DD hh:mm:ss"; returns the length (19) or 0 if it does not fit.
size_t format(char* out, size_t capacity, const platform::CalendarTime& time);

}  // namespace calendar
