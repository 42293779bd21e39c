// What the POSIX platforms (velkoran on Linux and the test host) share
// beyond the file streams: the pinned input, signal names, the system's
// calendar time.
#pragma once

#include "platform/platform.h"

namespace posixplatform {

// The next read-only fileOpen(name) reads this descriptor (already opened
// and checked by the caller), or finds no file for fd -1, instead of
// looking the name up again; the stream then owns fd.
void pinInput(const char* name, int fd);

// The name of a signal that stops runs ("SIGTERM"); nullptr for 0.
const char* signalName(int signal);

// The system's clock in local time and in UTC; false if it cannot be read.
bool systemLocalTime(platform::CalendarTime* now);
bool systemUniversalTime(platform::CalendarTime* now);

}  // namespace posixplatform
