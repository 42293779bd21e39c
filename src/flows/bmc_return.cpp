#include "flows/bmc_return.h"

#include "flows/flow_wire.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/ipmi.h"
#include "transport/kcs.h"

namespace {

using flows::secondsSince;

constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint32_t kQuestionIntervalSeconds = 5;

void revisionText(const FirmwareRevision* revision, char* out, size_t capacity) {
  if (revision == nullptr) {
    platform::formatText(out, capacity, "unknown");
  } else {
    platform::formatText(out, capacity, "%u.%02x", static_cast<unsigned>(revision->major),
                         static_cast<unsigned>(revision->minor));
  }
}

}  // namespace

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
  revisionText(before, text, sizeof text);
  platform::print("BMC firmware revision before the update: %s\n", text);
}

void waitForBmcReturn(uint32_t seconds, const FirmwareRevision* before) {
  platform::print("Waiting for the BMC to answer, at most %u seconds...\n", seconds);
  platform::flush();
  // The monotonic clock: a wall clock moved by a time zone rule or the
  // network must neither cut the wait short nor stretch it.
  const uint64_t start = platform::monotonicMicroseconds();
  for (;;) {
    const uint64_t elapsed = secondsSince(start);
    if (elapsed >= seconds) break;
    const uint64_t left = seconds - elapsed;
    platform::delaySeconds(left < kQuestionIntervalSeconds ? left : kQuestionIntervalSeconds);
    FirmwareRevision now;
    if (askFirmwareRevision(&now)) {
      char from[16];
      char to[16];
      revisionText(before, from, sizeof from);
      revisionText(&now, to, sizeof to);
      platform::print("BMC answered after %u seconds: firmware revision %s, before %s\n",
                      static_cast<unsigned>(secondsSince(start)), to, from);
      return;
    }
  }
  platform::print("ERROR: THE BMC DID NOT ANSWER WITHIN %u SECONDS\n\n", seconds);
  noteOutcome(RunOutcome::kNotBack);
}
