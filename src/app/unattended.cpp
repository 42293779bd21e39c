#include "app/unattended.h"

#include "app/run.h"
#include "app/run_log.h"
#include "flows/bmc_return.h"
#include "flows/flows.h"
#include "flows/verify_dump.h"
#include "platform/platform.h"
#include "state/tool_context.h"

namespace {

constexpr const char kVerifyNeedsDump[] = "ERROR:PLEASE USE --verify WITH -d FILE\n\n";

// An outcome nobody noted is never taken for a success.
RunOutcome finalOutcome() {
  const RunOutcome outcome = toolContext.runRecord.outcome;
  return outcome == RunOutcome::kUnset ? RunOutcome::kRefused : outcome;
}

}  // namespace

void beginRunRecord(int argc, char** argv) {
  toolContext.runOptions = RunOptions{};
  toolContext.runRecord.outcome = RunOutcome::kUnset;
  toolContext.runRecord.coldResetSent = false;
  toolContext.runRecord.interrupted = false;
  toolContext.runRecord.finish = endRunRecord;
  runlog::begin(argc, argv);
}

int endRunRecord() {
  const RunOutcome outcome = finalOutcome();
  if (toolContext.runRecord.finish != nullptr) {
    toolContext.runRecord.finish = nullptr;
    runlog::end(outcome);
  }
  const bool report = toolContext.runOptions.exitStatus || toolContext.runRecord.exitStatusByDefault;
  return report ? static_cast<int>(outcome) : 0;
}

int endBadCommandLine() {
  noteOutcome(RunOutcome::kBadCommandLine);
  return 0;
}

bool unattendedOptionsValid() {
  if (toolContext.runOptions.verifyImage == nullptr) return true;
  if (toolContext.dumpFile != nullptr && !toolContext.configMode) return true;
  printUsage();
  platform::print("%s", kVerifyNeedsDump);
  return false;
}

int runUpdateAndWaitForBmc() {
  const uint32_t waitSeconds = toolContext.runOptions.waitBmcSeconds;
  if (waitSeconds == 0) return runFirmwareUpdate();
  FirmwareRevision before;
  const bool known = askFirmwareRevision(&before);
  printRevisionBefore(known ? &before : nullptr);
  const int result = runFirmwareUpdate();
  const bool completed = result == 0;
  if (!completed && (!toolContext.runRecord.coldResetSent || toolContext.runRecord.interrupted)) {
    return result;
  }
  // A completed update has closed the transport.
  if (completed && toolContext.transport.open() == -1) {
    noteOutcome(RunOutcome::kNoAnswer);
    return result;
  }
  waitForBmcReturn(waitSeconds, known ? &before : nullptr);
  if (completed) toolContext.transport.close();
  return result;
}

int runDumpAndVerify() {
  const int result = runFirmwareDump();
  if (toolContext.runOptions.verifyImage != nullptr &&
      toolContext.runRecord.outcome == RunOutcome::kSuccess) {
    verifyDump(toolContext.runOptions.verifyImage, toolContext.dumpFile);
  }
  return result;
}
