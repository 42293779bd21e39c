#include "flows/flash_progress.h"

#include "flows/flow_wire.h"
#include "flows/upload_answer.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "state/tool_context.h"
#include "state/unsettled.h"
#include "transport/request.h"

namespace flows {
namespace {

// How long the percentage may stand still, or the BMC stay silent, before
// the poll gives up. A BMC erases and programs region by region and may not
// move its percentage while it erases a large one, which takes a minute or
// two; 10 minutes without a change is a BMC that has stopped.
constexpr uint32_t kProgressStallSeconds = 10 * 60;

// However it moves, a BMC that has not finished within an hour never will:
// one whose percentage wanders without reaching 100 must not hold the run
// for ever. Programming the largest flash parts takes minutes.
constexpr uint32_t kProgrammingSeconds = 60 * 60;

// A BMC that took the last chunk but lost its answer is programming by now;
// one that has not said so within this time never took it.
constexpr uint32_t kProgressQuestionSeconds = 30;

constexpr int kProgressDone = 100;

// A question a second: while programming until its bound, after a doubtful
// upload until the BMC says anything with a percentage.
constexpr request::RetryPolicy kProgrammingPolicy = {
    0, 1'000'000, kProgrammingSeconds, false, isNoAnswer, request::Notice::kNone};
constexpr request::RetryPolicy kQuestionPolicy = {
    0, 1'000'000, kProgressQuestionSeconds, false, isNoAnswer, request::Notice::kWholeWait};

constexpr char kProgrammingTooLongMessage[] =
    "\nERROR: THE BMC DID NOT FINISH PROGRAMMING ITS FLASH WITHIN %u SECONDS\n";

constexpr char kProgressStalledMessage[] =
    "\nERROR: THE BMC STOPPED REPORTING PROGRESS, NONE FOR %u SECONDS\n";

// One progress question: the percentage, or -1 when the answer carries none.
int askProgress(uint8_t* code) {
  uint8_t request[kFlowBufferSize];
  uint8_t response[kFlowBufferSize];
  text::fill(request, 0, sizeof request);
  text::fill(response, 0, sizeof response);
  int32_t responseLength = 0;
  *code = lowByte(sendOem(kCmdGetFWUpdateProgress, request, 0, response, &responseLength));
  return progressPercentage(*code, responseLength, response);
}

bool giveUp(const char* message, uint32_t seconds) {
  platform::print(message, static_cast<unsigned>(seconds));
  noteUnsettled();
  platform::print("\n");
  return false;
}

}  // namespace

bool pollFlashProgress() {
  request::Retrying retry(kProgrammingPolicy);
  uint64_t movedMicros = platform::monotonicMicroseconds();
  int lastPercentage = -1;  // none reported yet
  for (;;) {
    retry.pause();
    uint8_t code = 0;
    const int percentage = askProgress(&code);
    // A request that failed shows 0, whatever bytes came with its code.
    platform::print("new firmware is updating...%d%%\r", percentage < 0 ? 0 : percentage);
    platform::flush();
    if (percentage == kProgressDone) return true;
    if (percentage >= 0 && percentage != lastPercentage) {
      lastPercentage = percentage;
      movedMicros = platform::monotonicMicroseconds();
    } else if (secondsSince(movedMicros) >= kProgressStallSeconds) {
      return giveUp(kProgressStalledMessage, kProgressStallSeconds);
    }
    if (retry.boundPassed()) return giveUp(kProgrammingTooLongMessage, kProgrammingSeconds);
  }
}

bool bmcReportsProgress() {
  request::Retrying retry(kQuestionPolicy);
  for (;;) {
    uint8_t code = 0;
    const bool reported = askProgress(&code) >= 0;
    if (!retry.afterResult(code, !reported)) return reported;
    retry.pause();
  }
}

}  // namespace flows
