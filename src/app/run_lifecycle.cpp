#include "app/run_lifecycle.h"

#include "app/long_options.h"
#include "app/run_log.h"
#include "app/run_report.h"
#include "platform/platform.h"
#include "state/tool_context.h"

namespace {

// An outcome nobody noted is never taken for a success.
RunOutcome finalOutcome() {
  const RunOutcome outcome = toolContext.runRecord.outcome;
  return outcome == RunOutcome::kUnset ? RunOutcome::kRefused : outcome;
}

// Whether a job ran: only then does the run act on what its command line
// asks for afterwards. A refused command line, --help and --version leave
// the machine and its boot entries as they are, whatever else the line holds.
bool jobRan() {
  return finalOutcome() != RunOutcome::kBadCommandLine &&
         toolContext.runOptions.request == InfoRequest::kNone;
}

// --once: the entry goes whatever the job's outcome, so that a failed job
// does not repeat at every start; the lines land in the log.
void removeStartingBootEntry() {
  char name[16];
  switch (platform::removeStartingBootEntry(name, sizeof name)) {
    case platform::BootEntryRemoval::kRemoved:
      platform::print("The boot entry %s is removed: it does not start this program again\n", name);
      break;
    case platform::BootEntryRemoval::kNoEntry:
      platform::print("WARNING: NO BOOT ENTRY STARTED THIS PROGRAM, NONE IS REMOVED\n");
      break;
    case platform::BootEntryRemoval::kNotThisProgram:
      platform::print("WARNING: THE BOOT ENTRY %s DOES NOT NAME THIS PROGRAM, IT IS KEPT\n", name);
      break;
    case platform::BootEntryRemoval::kFailed:
      platform::print("WARNING: THE BOOT ENTRY %s CANNOT BE REMOVED, IT STARTS THIS PROGRAM "
                      "AGAIN\n", name);
      break;
  }
}

}  // namespace

void beginRunRecord(int argc, char** argv) {
  toolContext.runOptions = RunOptions{};
  toolContext.runOptions.reportFile = findReportFile(argc, argv);
  toolContext.runRecord.outcome = RunOutcome::kUnset;
  RunRecord& record = toolContext.runRecord;
  record.coldResetSent = false;
  record.stage = UpdateStage::kNone;
  record.revisionBeforeKnown = record.revisionAfterKnown = record.identityKnown = false;
  record.bytesSent = record.bytesReceived = 0;
  record.transportName[0] = '\0';
  record.finish = concludeRun;
  runreport::begin(argc, argv);
  runlog::begin(argc, argv);
}

int endRunRecord() {
  const RunOutcome outcome = finalOutcome();
  if (toolContext.runRecord.finish != nullptr) {
    toolContext.runRecord.finish = nullptr;
    if (toolContext.runOptions.once && jobRan()) removeStartingBootEntry();
    runlog::end(outcome);
    runreport::end(outcome);
  }
  const bool report = toolContext.runOptions.exitStatus || toolContext.runRecord.exitStatusByDefault;
  return report ? static_cast<int>(outcome) : 0;
}

int concludeRun() {
  RunOptions& options = toolContext.runOptions;
  const bool acts = jobRan();
  const int status = endRunRecord();
  const AfterRun after = acts ? options.afterRun : AfterRun::kReturn;
  if (after != AfterRun::kReturn) {
    toolContext.runOptions.afterRun = AfterRun::kReturn;  // once
    platform::flush();
    platform::endMachine(after == AfterRun::kPowerOff);
  }
  return status;
}

int endBadCommandLine() {
  noteOutcome(RunOutcome::kBadCommandLine);
  return 0;
}
