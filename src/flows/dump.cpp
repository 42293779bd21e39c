// The flash dump: phase 1 waits for the BMC to prepare it, phase 2 fetches it
// in 56-byte chunks into the dump file.
#include "state/tool_context.h"
#include "flows/flow_wire.h"
#include "flows/flows.h"
#include "platform/platform.h"
#include "platform/staged_file.h"
#include "platform/text.h"
#include "transport/request.h"

namespace {

using namespace flows;

constexpr uint64_t kFirstWaitSeconds = 50;
constexpr int32_t kFullChunkBytes = 56;
constexpr uint8_t kDumpReady = 1;
constexpr uint8_t kMoreFollow = 0;
// No BMC flash is larger: the largest SPI NOR parts hold 256 MiB. A BMC that
// reports no length and never marks a last chunk ends here instead of
// filling the volume.
constexpr uint64_t kDumpCapBytes = 256ull << 20;

// How long the BMC has, from the prepare request on, to say that the dump is
// ready. It reads its whole flash first; 20 minutes leave the largest flash
// parts room many times over at any usual SPI speed, and a BMC that has not
// finished by then is not going to.
constexpr uint32_t kReadinessBoundSeconds = 20 * 60;

// The readiness question is asked every 5 seconds until that bound; a data
// chunk is asked for up to 5 times, a second apart.
constexpr request::RetryPolicy kReadinessPolicy = {
    0, 5'000'000, kReadinessBoundSeconds, false, isNoAnswer, request::Notice::kWhileSilent};
constexpr request::RetryPolicy kDataPolicy = {5, 1'000'000, 0,
                                              false, isNoAnswer, request::Notice::kWhileSilent};

// Codes with which the BMC says it did not prepare a dump: without the
// command, with a request it takes as invalid, or not now. Reading on would
// fetch whatever an earlier dump left.
bool prepareRefused(uint8_t code) {
  return code == kCodeInvalidCommand || code == kCodeInvalidField || code == kCodeNotNow;
}

// False when the BMC refused to prepare the dump: it ends at once.
bool prepareDump() {
  uint8_t response[kFlowBufferSize];
  int32_t responseLength = 0;
  const uint8_t code =
      lowByte(sendOem(kCmdPrepareDumpFlash, nullptr, 0, response, &responseLength));
  if (code != 0) platform::print("ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n");
  if (prepareRefused(code)) {
    noteOutcome(RunOutcome::kRefused);
    return false;
  }
  platform::print("Phase1:Wait for BMC !!\n");
  for (uint64_t second = 0; second < kFirstWaitSeconds; ++second) platform::delaySeconds(1);
  return true;
}

// One readiness question; its result (-1 for a transport failure).
int askReadiness(request::Retrying* retry, uint8_t* response, int32_t* responseLength) {
  // Cleared so that a reply without data never reads as an earlier one.
  text::fill(response, 0, kFlowBufferSize);
  *responseLength = 0;
  retry->beforeTry();
  return sendOem(kCmdCheckDumpFlashComplete, nullptr, 0, response, responseLength);
}

// Asks until the BMC says the dump is ready and sets dumpLength; false when
// the BMC does not have the command or the bound has passed.
bool waitUntilReady(uint64_t startMicros) {
  request::Retrying retry(kReadinessPolicy, startMicros);
  for (;;) {
    uint8_t response[kFlowBufferSize];
    int32_t responseLength = 0;
    const int result = askReadiness(&retry, response, &responseLength);
    const bool another = retry.afterResult(result);
    const uint8_t code = lowByte(result);
    const bool ready = code == 0 && response[0] == kDumpReady;
    // A ready reply without its length bytes is no answer at all.
    if (code != 0 || (ready && responseLength < 5)) {
      platform::print("ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n");
      if (code == kCodeInvalidCommand) {
        noteOutcome(RunOutcome::kRefused);
        return false;
      }
    } else if (ready) {
      toolContext.dumpLength = getBigEndian32(response + 1);
      return true;
    }
    if (!another) {
      // Judged by the last question: a BMC gone silent, or one still
      // answering that it is not ready.
      noteOutcome(isNoAnswer(code) ? RunOutcome::kNoAnswer : RunOutcome::kRefused);
      platform::print("ERROR: THE BMC DID NOT PREPARE THE DUMP WITHIN %u SECONDS\n\n",
                      static_cast<unsigned>(kReadinessBoundSeconds));
      return false;
    }
    retry.pause();
  }
}

void showProgress(uint64_t chunk, uint64_t* previousPercentage) {
  // A BMC that reports no length gets no progress lines.
  if (toolContext.dumpLength == 0) return;
  uint64_t percentage = 5600 * chunk / toolContext.dumpLength;
  if (percentage != *previousPercentage && percentage % 5 == 0) {
    platform::print("%ldK bytes      %d%%\r", static_cast<long>(56 * chunk / 1024 + 1),
                    static_cast<int>(percentage));
    platform::flush();
  }
  *previousPercentage = percentage;
}

// A data reply that can be taken: completion code 0 and every byte it
// announces. Any other reply, data or not, never reaches the file.
bool chunkComplete(int result, const uint8_t* response, int32_t responseLength) {
  return result == 0 && responseLength >= 1 &&
         (response[0] != kMoreFollow || responseLength >= 1 + kFullChunkBytes);
}

// Fetches one chunk; false after five replies that could not be
// taken, with the outcome noted: no answer when the last try went
// unanswered, else refused. A reply lost on its way back (the request
// reached the BMC, which may have moved on) is asked for again only when
// the length check at the end can tell a lost chunk.
bool fetchChunk(uint8_t* response, int32_t* responseLength) {
  request::Retrying retry(kDataPolicy);
  for (;;) {
    *responseLength = 0;
    retry.beforeTry();
    const int result = sendOem(kCmdGetDumpFlashData, nullptr, 0, response, responseLength);
    const bool replyLost = result < 0 && *responseLength < 0;
    const bool complete = chunkComplete(result, response, *responseLength);
    const bool another =
        retry.afterResult(result, !complete && !(replyLost && toolContext.dumpLength == 0));
    if (complete) return true;
    if (!another) {
      noteOutcome(isNoAnswer(result) ? RunOutcome::kNoAnswer : RunOutcome::kRefused);
      return false;
    }
    retry.pause();
  }
}

// One write per chunk: the stream buffers them either way.
bool writeBytes(platform::File* file, const uint8_t* bytes, int32_t count) {
  const size_t size = static_cast<size_t>(count);
  return count <= 0 || platform::fileWrite(file, bytes, size) == size;
}

// Ends phase 2 with the file closed; result 1. A dump that failed stays
// under its temporary name.
int endDump(platform::StagedFile* output, const char* failure) {
  if (failure != nullptr) {
    platform::stagedAbandon(output);
  } else {
    platform::StagedEnd end = platform::stagedCommit(output);
    if (end == platform::StagedEnd::closeFailed) failure = "ERROR: WRITE DUMP FILE FAILED\n\n";
    if (end == platform::StagedEnd::replaceFailed) failure = "ERROR: RENAME DUMP FILE FAILED\n\n";
    if (failure != nullptr) noteOutcome(RunOutcome::kFileProblem);
  }
  if (failure == nullptr) noteOutcome(RunOutcome::kSuccess);
  if (failure != nullptr) platform::print("%s", failure);
  return 1;
}

// A reported length must be met exactly: a chunk lost on the way makes the
// file short and everything after it shifted. Passing it is already wrong,
// and also ends a BMC that would say "more follows" for ever. Without a
// length, a dump must at least hold a byte: no flash is empty.
bool holdsReportedLength(uint64_t written, bool last) {
  if (toolContext.dumpLength == 0) return !last || written > 0;
  return last ? written == toolContext.dumpLength : written <= toolContext.dumpLength;
}

int receiveDump(platform::StagedFile* output) {
  constexpr const char* kReceiveFailed = "ERROR: RECEIVE FLASH DATA FAILED\n\n";
  uint8_t response[kFlowBufferSize];
  int32_t responseLength = 0;
  uint64_t previousPercentage = 100;
  uint64_t written = 0;
  for (uint64_t chunk = 1;; ++chunk) {
    showProgress(chunk, &previousPercentage);
    if (!fetchChunk(response, &responseLength)) return endDump(output, kReceiveFailed);
    bool last = response[0] != kMoreFollow;
    int32_t received = responseLength < kFlowBufferSize ? responseLength : kFlowBufferSize;
    int32_t count = last ? received - 1 : kFullChunkBytes;
    if (count > 0 && written + static_cast<uint64_t>(count) > kDumpCapBytes) {
      noteOutcome(RunOutcome::kRefused);  // more than any flash holds
      return endDump(output, kReceiveFailed);
    }
    if (!writeBytes(output->file, response + 1, count)) {
      noteOutcome(RunOutcome::kFileProblem);
      return endDump(output, "ERROR: WRITE DUMP FILE FAILED\n\n");
    }
    written += static_cast<uint64_t>(count);
    if (!holdsReportedLength(written, last)) {
      noteOutcome(RunOutcome::kRefused);  // the BMC sent other than it announced
      return endDump(output, kReceiveFailed);
    }
    if (last) return endDump(output, nullptr);
  }
}

}  // namespace

int runFirmwareDump() {
  const uint64_t startMicros = platform::monotonicMicroseconds();
  const bool ready = prepareDump() && waitUntilReady(startMicros);
  if (!ready) return 1;

  platform::print("Phase2:Receive the flash data........... \n");
  platform::StagedFile output;
  if (platform::stagedOpen(&output, toolContext.dumpFile, "wb+") == nullptr) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("ERROR: OPEN BINARY FILE FAILED %s\n\n", toolContext.dumpFile);
    return 1;
  }
  platform::print("length=0x%lx\n", static_cast<unsigned long>(toolContext.dumpLength));
  return receiveDump(&output);
}
