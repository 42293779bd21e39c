// The configuration request (0xF8/0x20) sent with retries, and the task
// status its reply starts with.
#pragma once

#include <cstdint>

struct IpmiCmdControl {
  uint64_t retryDelaySeconds;
  uint8_t checkState;
  uint8_t expectedState;
  uint64_t maxAttempts;
  uint8_t replyTaskId;
  uint8_t replyState;
  uint8_t replyFlag;
};

// Sends the configuration request (0xF8/0x20) with retries; 0 or -1.
int doIPMICmd(const uint8_t* data, int32_t dataLength, uint8_t* response,
              int32_t responseCapacity, int32_t* responseLength,
              IpmiCmdControl* control);
