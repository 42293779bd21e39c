#include "flows/jobs.h"

#include "flows/bmc_return.h"
#include "flows/flows.h"
#include "flows/verify_dump.h"
#include "platform/platform.h"
#include "state/tool_context.h"

int runUpdateAndWaitForBmc() {
  const uint32_t waitSeconds = toolContext.runOptions.waitBmcSeconds;
  if (waitSeconds == 0) return runFirmwareUpdate();
  FirmwareRevision before{};
  const bool known = askFirmwareRevision(&before);
  toolContext.runRecord.revisionBeforeKnown = known;
  toolContext.runRecord.revisionBefore = before;
  printRevisionBefore(known ? &before : nullptr);
  const int result = runFirmwareUpdate();
  // After the cold reset that ends a stopped update nothing waits for the BMC.
  if (result != 0 && (!toolContext.runRecord.coldResetSent || platform::stopRequested())) {
    return result;
  }
  waitForBmcReturn(waitSeconds, known ? &before : nullptr);
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
