// The cold reset the update ends with.
#pragma once

#include "transport/ipmi_wire.h"

// 0 when the BMC accepted the cold reset, -1 otherwise.
int ipmiColdReset();
