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

// A result that means the BMC gave no answer: the transport failed (-1,
// 0xFF) or the interface answered for it (0xC3 timeout, 0xD2 nothing there).
constexpr bool isUnanswered(int result) {
  const int code = result & 0xFF;
  return code == 0xFF || code == 0xC3 || code == 0xD2;
}

// The bound of `tries` tries of the bound transport, each followed by a
// pause of `pauseSeconds`, for the unanswered-request notice.
uint32_t triesBoundSeconds(uint64_t tries, uint64_t pauseSeconds);

// The unanswered-request notice (toolContext.silence) around one try of a
// request that is tried again. A silence begins with the bound of all the
// tries left; an answer of any kind ends it, so the notice only ever counts
// time in which the BMC said nothing. After the last try there is nothing
// left to announce. The caller ends it when the request is over.
void silenceBeforeTry(uint32_t boundSeconds);
void silenceAfterTry(int result, bool anotherTryFollows);

// Sends the configuration request (0xF8/0x20) with retries; 0 or -1.
int doIPMICmd(const uint8_t* data, int32_t dataLength, uint8_t* response,
              int32_t responseCapacity, int32_t* responseLength,
              IpmiCmdControl* control);
// 0 when the BMC accepted the cold reset, -1 otherwise.
int ipmiColdReset();
