// A run that ends while the BMC may still be writing its flash: a cold reset
// or a power cut then could leave it with no firmware at all, so the person
// or script at the other end is told to wait and how to look later.
#pragma once

#include "platform/platform.h"
#include "state/tool_context.h"

constexpr char kUnsettledLine[] =
    "WARNING: DO NOT REMOVE THE POWER: THE BMC MAY STILL BE PROGRAMMING ITS FLASH; "
    "CHECK IT LATER WITH velkoran --bmc-info\n";

inline void noteUnsettled() {
  noteOutcome(RunOutcome::kUnsettled);
  platform::print("%s", kUnsettledLine);
}
