#include "config/config_request.h"

#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace {

// The attempt counter is 8 bits wide; a larger limit could never be reached.
constexpr uint64_t kAttemptLimit = 255;

void decodeReplyStatus(uint8_t status, IpmiCmdControl* control) {
  control->replyTaskId = static_cast<uint8_t>(status >> 4);
  control->replyState = static_cast<uint8_t>((status & 0x0F) >> 1);
  control->replyFlag = static_cast<uint8_t>(status & 0x01);
}

// The caller's attempts and delay as a policy; the delay also follows the
// last failed try.
request::RetryPolicy configPolicy(uint64_t maxAttempts, uint64_t delaySeconds) {
  // maxAttempts 0 still makes the one attempt.
  const uint32_t tries = maxAttempts != 0 ? static_cast<uint32_t>(maxAttempts) : 1;
  return {tries, delaySeconds * 1000000u, 0, false, isNoAnswer, request::Notice::kWhileSilent};
}

// One try; true when the reply is taken.
bool tryConfigRequest(const uint8_t* data, int32_t dataLength, uint8_t* response,
                      int32_t responseCapacity, int32_t* responseLength,
                      IpmiCmdControl* control, int* result) {
  *result = toolContext.transport.transfer(kNetFnLunOem, kCmdConfigTask, data, dataLength,
                                           response, responseCapacity, responseLength);
  if (*result != 0) return false;
  // With no data the status byte is whatever the buffer held before.
  decodeReplyStatus(responseCapacity > 0 ? response[0] : 0, control);
  return control->checkState == 0 || control->replyState == control->expectedState;
}

}  // namespace

int doIPMICmd(const uint8_t* data, int32_t dataLength, uint8_t* response,
              int32_t responseCapacity, int32_t* responseLength, IpmiCmdControl* control) {
  const uint64_t maxAttempts =
      control->maxAttempts < kAttemptLimit ? control->maxAttempts : kAttemptLimit;
  request::Retrying retry(configPolicy(maxAttempts, control->retryDelaySeconds));
  bool taken = false;
  int rc = 0;
  for (;;) {
    retry.beforeTry();
    taken = tryConfigRequest(data, dataLength, response, responseCapacity, responseLength,
                             control, &rc);
    const bool another = retry.afterResult(rc, !taken);
    if (taken) break;
    if (rc != 0) {
      platform::print("[doIPMICmd] Abnormal. CompCode == 0x%x\n", static_cast<uint32_t>(rc));
    }
    retry.pause();
    if (!another) break;
  }
  retry.finish();
  if (maxAttempts != 0 && !taken) {
    // A BMC that never answered is told apart from one that said no; the
    // first failure of a run is the one that counts.
    if (isNoAnswer(rc) && toolContext.runRecord.outcome == RunOutcome::kUnset) {
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
