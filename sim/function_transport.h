// A transport made of plain functions, for tests and fuzzers that script
// replies without any state of their own.
#pragma once

#include <cstdint>

#include "state/transport.h"

struct TransportFunctions {
  int (*open)();
  int (*transfer)(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                  uint8_t* response, int32_t responseCapacity, int32_t* responseLength);
  int (*close)();
};

// The functions must outlive the transport made of them. It carries the
// message sizes every transport carries.
TransportOps functionTransport(const TransportFunctions* functions);
