#include "flows/bmc_return.h"

#include "platform/calendar.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/ipmi.h"
#include "transport/kcs.h"

namespace {

constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint32_t kQuestionIntervalSeconds = 5;
// What an unanswered request costs when the clock cannot tell: the
// transport's bound on one wait.
constexpr uint32_t kUnansweredRequestSeconds = 10;

// Time spent waiting: from the clock when there is one, else counted.
struct WaitClock {
  bool clockRead;
  int64_t startSeconds;
  uint64_t countedSeconds;

  uint64_t elapsed() const {
    int64_t now = 0;
    if (clockRead && calendar::nowSeconds(&now) && now >= startSeconds) {
      return static_cast<uint64_t>(now - startSeconds);
    }
    return countedSeconds;
  }
};

}  // namespace

void formatRevision(const FirmwareRevision* revision, char* out, size_t capacity) {
  if (revision == nullptr) {
    platform::formatText(out, capacity, "unknown");
  } else {
    platform::formatText(out, capacity, "%u.%02x", static_cast<unsigned>(revision->major),
                         static_cast<unsigned>(revision->minor));
  }
}

bool askFirmwareRevision(FirmwareRevision* revision) {
  uint8_t response[kKcsMaxResponseData] = {};
  int32_t responseLength = 0;
  const int code = toolContext.transport.transfer(kNetFnLunApp, kCmdGetDeviceId, nullptr, 0,
                                                  response, sizeof response, &responseLength);
  // Bytes 2 and 3 after the completion code carry the firmware revision.
  if (code != 0 || responseLength < 4) return false;
  revision->major = response[2] & 0x7F;
  revision->minor = response[3];
  return true;
}

void printRevisionBefore(const FirmwareRevision* before) {
  char text[16];
  formatRevision(before, text, sizeof text);
  platform::print("BMC firmware revision before the update: %s\n", text);
}

void waitForBmcReturn(uint32_t seconds, const FirmwareRevision* before) {
  platform::print("Waiting for the BMC to answer, at most %u seconds...\n", seconds);
  platform::flush();
  WaitClock clock{false, 0, 0};
  clock.clockRead = calendar::nowSeconds(&clock.startSeconds);
  for (;;) {
    const uint64_t elapsed = clock.elapsed();
    if (elapsed >= seconds) break;
    const uint64_t left = seconds - elapsed;
    const uint64_t pause = left < kQuestionIntervalSeconds ? left : kQuestionIntervalSeconds;
    platform::delaySeconds(pause);
    clock.countedSeconds += pause;
    FirmwareRevision now;
    if (askFirmwareRevision(&now)) {
      toolContext.runRecord.revisionAfterKnown = true;
      toolContext.runRecord.revisionAfter = now;
      char from[16];
      char to[16];
      formatRevision(before, from, sizeof from);
      formatRevision(&now, to, sizeof to);
      platform::print("BMC answered after %u seconds: firmware revision %s, before %s\n",
                      static_cast<unsigned>(clock.elapsed()), to, from);
      return;
    }
    clock.countedSeconds += kUnansweredRequestSeconds;
  }
  platform::print("ERROR: THE BMC DID NOT ANSWER WITHIN %u SECONDS\n\n", seconds);
  noteOutcome(RunOutcome::kNotBack);
}
