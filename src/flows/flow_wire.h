// Shared pieces of the firmware flows: one OEM exchange over the bound
// transport and the numbers its replies carry.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/ipmi_wire.h"

namespace flows {

// Request and response buffers of the flows.
constexpr int32_t kFlowBufferSize = 200;

// A transport failure (-1) shows as 0xFF here, as callers judge results.
inline uint8_t lowByte(int result) { return static_cast<uint8_t>(result & 0xFF); }

// One OEM request; the response goes into a kFlowBufferSize buffer.
inline int sendOem(uint8_t command, const uint8_t* data, int32_t dataLength, uint8_t* response,
                   int32_t* responseLength) {
  return toolContext.transport.transfer(kNetFnLunOem, command, data, dataLength, response,
                                        kFlowBufferSize, responseLength);
}

// Whole seconds on the monotonic clock since startMicros, taken from it.
inline uint64_t secondsSince(uint64_t startMicros) {
  return (platform::monotonicMicroseconds() - startMicros) / 1000000u;
}

inline uint32_t getBigEndian32(const uint8_t* in) {
  return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
         (static_cast<uint32_t>(in[2]) << 8) | in[3];
}

}  // namespace flows
