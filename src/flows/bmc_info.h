// The BMC's identity (--bmc-info): one Get Device ID request, printed as a
// short block and kept in the run record. Nothing else is sent.
#pragma once

#include <cstdint>

#include "state/run_record.h"

// Reads the identity from a Get Device ID reply (data after the completion
// code); false when the reply is too short to hold it.
bool parseBmcIdentity(const uint8_t* data, int32_t length, BmcIdentity* identity);
// Asks, prints and notes the outcome; the transport is open and is closed
// here. Returns 0 when the BMC answered, -1 otherwise.
int runBmcInfo();
