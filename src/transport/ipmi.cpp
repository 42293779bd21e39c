// Requests with retries and reply-status decoding, and the cold reset.
#include "transport/ipmi.h"

#include "state/tool_context.h"
#include "platform/platform.h"
#include "transport/kcs.h"

namespace {

// The attempt counter is 8 bits wide; a larger limit could never be reached.
constexpr uint64_t kAttemptLimit = 255;

void decodeReplyStatus(uint8_t status, IpmiCmdControl* control) {
  control->replyTaskId = static_cast<uint8_t>(status >> 4);
  control->replyState = static_cast<uint8_t>((status & 0x0F) >> 1);
  control->replyFlag = static_cast<uint8_t>(status & 0x01);
}

}  // namespace

uint32_t triesBoundSeconds(uint64_t tries, uint64_t pauseSeconds) {
  const uint64_t bound = tries * (toolContext.transferBoundSeconds + pauseSeconds);
  return bound < UINT32_MAX ? static_cast<uint32_t>(bound) : UINT32_MAX;
}

void silenceBeforeTry(uint32_t boundSeconds) {
  if (!toolContext.silence.active()) toolContext.silence.begin(boundSeconds);
}

void silenceAfterTry(int result, bool anotherTryFollows) {
  if (!isUnanswered(result)) {
    toolContext.silence.end();
  } else if (anotherTryFollows) {
    toolContext.silence.check();
  }
}

int doIPMICmd(const uint8_t* data, int32_t dataLength, uint8_t* response,
              int32_t responseCapacity, int32_t* responseLength, IpmiCmdControl* control) {
  const uint64_t maxAttempts =
      control->maxAttempts < kAttemptLimit ? control->maxAttempts : kAttemptLimit;
  // maxAttempts 0 still makes the one attempt.
  const uint64_t tries = maxAttempts != 0 ? maxAttempts : 1;
  uint8_t failedAttempts = 0;
  bool lastCodeWasNoAnswer = false;
  for (;;) {
    silenceBeforeTry(triesBoundSeconds(tries - failedAttempts, control->retryDelaySeconds));
    const int rc = toolContext.transport.transfer(kNetFnLunOem, kCmdConfigTask, data, dataLength,
                                                  response, responseCapacity, responseLength);
    silenceAfterTry(rc, failedAttempts + 1u < maxAttempts);
    lastCodeWasNoAnswer = isUnanswered(rc);
    if (rc == 0) {
      // With no data the status byte is whatever the buffer held before.
      decodeReplyStatus(responseCapacity > 0 ? response[0] : 0, control);
      if (control->checkState == 0 || control->replyState == control->expectedState) break;
    } else {
      platform::print("[doIPMICmd] Abnormal. CompCode == 0x%x\n", static_cast<uint32_t>(rc));
    }
    ++failedAttempts;
    if (control->retryDelaySeconds != 0) platform::delaySeconds(control->retryDelaySeconds);
    if (failedAttempts >= maxAttempts) break;
  }
  toolContext.silence.end();
  if (maxAttempts != 0 && failedAttempts == maxAttempts) {
    // A BMC that never answered is told apart from one that said no; the
    // first failure of a run is the one that counts.
    if (lastCodeWasNoAnswer && toolContext.runRecord.outcome == RunOutcome::kUnset) {
      noteOutcome(RunOutcome::kNoAnswer);
    }
    platform::print("Error: doIPMICmd failed\n");
    return -1;
  }
  if (*responseLength <= 0) {
    platform::print("Error: inlen <= 0\n");
    return -1;
  }
  return 0;
}

int ipmiColdReset() {
  uint8_t response[kKcsMaxResponseData];
  int32_t responseLength = 0;
  const int rc = toolContext.transport.transfer(kNetFnLunApp, kCmdColdReset, nullptr, 0, response,
                                                sizeof response, &responseLength);
  if ((rc & 0xFF) == 0) {
    platform::print("Execute Cold Reset Success\n");
    return 0;
  }
  platform::print("Execute Cold Reset Fail\n");
  return -1;
}
