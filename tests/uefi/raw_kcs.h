// For test applications that drive the KCS interface at 0xCA2/0xCA3 by hand,
// without the transport: its ports, bits and codes and a bounded poll.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace rawkcs {

constexpr uint16_t kDataPort = 0xCA2;
constexpr uint16_t kStatusPort = 0xCA3;
constexpr uint8_t kObf = 0x01;
constexpr uint8_t kIbf = 0x02;
constexpr uint8_t kWriteStart = 0x61;
constexpr uint8_t kWriteEnd = 0x62;
constexpr uint8_t kReadNext = 0x68;
constexpr uint64_t kPollLimit = 50000000;

// Polls until (status & mask) == value; false after kPollLimit reads.
inline bool waitStatus(uint8_t mask, uint8_t value) {
  for (uint64_t poll = 0; poll < kPollLimit; ++poll) {
    if ((platform::portRead(kStatusPort) & mask) == value) return true;
  }
  return false;
}

}  // namespace rawkcs
