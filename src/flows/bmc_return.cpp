#include "flows/bmc_return.h"

#include "flows/flow_wire.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace {

using flows::secondsSince;


// Device ID every 5 seconds (less when the bound is nearer) until the
// bound; the notice counts the whole wait, busy answers included.
request::RetryPolicy returnPolicy(uint32_t seconds) {
  return {0, 5'000'000, seconds, true, isNoAnswer, request::Notice::kWholeWait};
}
// Set in the firmware revision byte while the BMC updates its firmware or
// SDR or initialises itself; the major revision is the other seven bits.
constexpr uint8_t kDeviceBusyBit = 0x80;

// The questions of one wait: whether the last one found the BMC busy, and
// since when it has answered busy.
struct BusyStreak {
  bool lastBusy = false;
  uint64_t sinceMicros = 0;

  void note(bool answered, bool available) {
    if (answered && !available && !lastBusy) sinceMicros = platform::monotonicMicroseconds();
    lastBusy = answered && !available;
  }
};

void noteAvailability(bool available) {
  toolContext.runRecord.availabilityKnown = true;
  toolContext.runRecord.bmcAvailable = available;
}

void printReturn(uint64_t start, const FirmwareRevision* before, const FirmwareRevision& now) {
  toolContext.runRecord.revisionAfterKnown = true;
  toolContext.runRecord.revisionAfter = now;
  char from[16];
  char to[16];
  formatRevision(before, from, sizeof from);
  formatRevision(&now, to, sizeof to);
  platform::print("BMC answered after %u seconds: firmware revision %s, before %s\n",
                  static_cast<unsigned>(secondsSince(start)), to, from);
}

void printNotBack(uint32_t seconds, const BusyStreak& busy) {
  if (busy.lastBusy) {
    platform::print("ERROR: THE BMC ANSWERED BUT STAYED BUSY (UPDATE OR INITIALISATION IN "
                    "PROGRESS) FOR %u SECONDS\n\n",
                    static_cast<unsigned>(secondsSince(busy.sinceMicros)));
  } else {
    platform::print("ERROR: THE BMC DID NOT ANSWER WITHIN %u SECONDS\n\n", seconds);
  }
  noteOutcome(RunOutcome::kNotBack);
}

// The questions until the BMC is back and available; false when the bound
// ran out first.
bool askUntilAvailable(request::Retrying* retry, uint64_t start, const FirmwareRevision* before,
                       BusyStreak* busy) {
  for (;;) {
    if (retry->boundPassed()) return false;
    retry->pause();
    FirmwareRevision now;
    bool available = false;
    const bool answered = askFirmwareRevision(&now, &available);
    busy->note(answered, available);
    // Anything but an identity counts as silence here.
    retry->afterTry(answered);
    if (!answered) continue;
    noteAvailability(available);
    if (available) {
      printReturn(start, before, now);
      return true;
    }
  }
}

}  // namespace

void formatRevision(const FirmwareRevision* revision, char* out, size_t capacity) {
  if (revision == nullptr) {
    platform::formatText(out, capacity, "unknown");
  } else {
    platform::formatText(out, capacity, "%u.%02x", static_cast<unsigned>(revision->major),
                         static_cast<unsigned>(revision->minor));
  }
}

bool askFirmwareRevision(FirmwareRevision* revision, bool* available) {
  uint8_t response[request::kMaxResponseData] = {};
  int32_t responseLength = 0;
  const int code = toolContext.transport.transfer(kNetFnLunApp, kCmdGetDeviceId, nullptr, 0,
                                                  response, sizeof response, &responseLength);
  // Bytes 2 and 3 after the completion code carry the firmware revision.
  if (code != 0 || responseLength < 4) return false;
  revision->major = response[2] & 0x7F;
  revision->minor = response[3];
  if (available != nullptr) *available = deviceAvailable(response[2]);
  return true;
}

bool deviceAvailable(uint8_t firmwareRevisionByte) {
  return (firmwareRevisionByte & kDeviceBusyBit) == 0;
}

void printRevisionBefore(const FirmwareRevision* before) {
  char text[16];
  formatRevision(before, text, sizeof text);
  platform::print("BMC firmware revision before the update: %s\n", text);
}

void waitForBmcReturn(uint32_t seconds, const FirmwareRevision* before) {
  platform::print("Waiting for the BMC to answer, at most %u seconds...\n", seconds);
  platform::flush();
  // The monotonic clock: a wall clock moved by a time zone rule or the
  // network must neither cut the wait short nor stretch it.
  const uint64_t start = platform::monotonicMicroseconds();
  request::Retrying retry(returnPolicy(seconds), start);
  BusyStreak busy;
  const bool back = askUntilAvailable(&retry, start, before, &busy);
  retry.finish();
  if (!back) printNotBack(seconds, busy);
}
