// The IPMI request layer over the bound transport.
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

constexpr uint8_t kNetFnLunOem = 0xF8;  // network function 0x3E, LUN 0
constexpr uint8_t kNetFnLunApp = 0x18;  // network function 0x06, LUN 0
constexpr uint8_t kCmdConfigTask = 0x20;
constexpr uint8_t kCmdColdReset = 0x02;

// Sends the configuration request (0xF8/0x20) with retries; 0 or -1.
int doIPMICmd(const uint8_t* data, int32_t dataLength, uint8_t* response,
              int32_t responseCapacity, int32_t* responseLength,
              IpmiCmdControl* control);
// 0 when the BMC accepted the cold reset, -1 otherwise.
int ipmiColdReset();
