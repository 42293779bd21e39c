// The IPMI KCS system interface, driven byte by byte through I/O ports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/transport.h"

constexpr int kKcsMaxRequestData = 62;
constexpr int kKcsResponseBufferSize = 128;
constexpr int kKcsMaxResponseData = kKcsResponseBufferSize - 3;
// Status reads a wait makes before it arms its timer: a BMC answering within
// microseconds never costs a firmware timer call. A status read takes about
// 0.2-1 us, so this stretches the 10-second bound by a few milliseconds.
constexpr int kKcsPollsBeforeTimer = 4096;

// The machine's KCS interface as a transport: open reads kcs.cfg (kcsOpen),
// close releases the wait timer a transfer may have made, and the BMC's
// name is its ports ("kcs-0ca3-0ca2").
TransportOps kcsTransport();

// The same interface's operations, for callers without a TransportOps.
// kcsOpen reads kcs.cfg (or takes the default ports, CA3 and CA2, without
// one) into toolContext; 0. A kcs.cfg that does not name both ports is
// refused before any port is touched: its line, the file-problem class and
// -1.
int kcsOpen();
// One request and its response. Returns the completion code (0..255) or -1
// (also for a reply that names another request), as TransportOps::transfer.
int kcsTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data,
                int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                int32_t* responseLength);
// Releases the wait timer a transfer may have made. Returns 0.
int kcsClose();

// The reply to a request carries the request's network function + 1, the
// same LUN and the same command; anything else answers another request.
constexpr uint8_t replyNetFnLun(uint8_t requestNetFnLun) {
  return static_cast<uint8_t>(requestNetFnLun + 4);
}
constexpr bool replyMatches(uint8_t requestNetFnLun, uint8_t requestCommand,
                            uint8_t replyNetFn, uint8_t replyCommand) {
  return replyNetFn == replyNetFnLun(requestNetFnLun) && replyCommand == requestCommand;
}
// A reply for another request is a transport failure of this one: says so
// (every transport the same way) and returns -1.
int failForeignReply(uint8_t replyNetFn, uint8_t replyCommand);

struct KcsPorts {
  uint16_t command;  // the status register reads at the same port
  uint16_t data;
};
// The ports a kcs.cfg text names: true, or false with *problem set to what
// is wrong (a short constant text). Only both keys with valid values pass.
bool kcsParseConfig(const char* text, size_t length, KcsPorts* ports, const char** problem);
// One kcs.cfg value: hexadecimal digits, "0x" allowed, from 1 to FFFF.
bool kcsParsePortValue(const char* token, size_t length, uint16_t* port);
