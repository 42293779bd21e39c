// Shared pieces of the firmware flows: the OEM command numbers and one
// exchange over the bound transport.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/ipmi.h"

namespace flows {

constexpr uint8_t kCmdSendBlockInfo = 0x14;
constexpr uint8_t kCmdReceiveFWData = 0x15;
constexpr uint8_t kCmdGetFWUpdateInfo = 0x16;
constexpr uint8_t kCmdGetFWUpdateProgress = 0x17;
constexpr uint8_t kCmdGetUSBFWUpdateInfo = 0x0D;
constexpr uint8_t kCmdPrepareDumpFlash = 0x1D;
constexpr uint8_t kCmdCheckDumpFlashComplete = 0x1E;
constexpr uint8_t kCmdGetDumpFlashData = 0x1F;

// Request and response buffers of the flows.
constexpr int32_t kFlowBufferSize = 200;

// A transport failure (-1) shows as 0xFF here, as callers judge results.
inline uint8_t lowByte(int result) { return static_cast<uint8_t>(result & 0xFF); }

// The BMC does not have the command.
constexpr uint8_t kCodeInvalidCommand = 0xC1;

// A result that means the BMC gave no answer: the transport failed, or the
// interface answered for it (timeout, nothing connected).
inline bool isNoAnswer(uint8_t code) { return code == 0xFF || code == 0xC3 || code == 0xD2; }

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
