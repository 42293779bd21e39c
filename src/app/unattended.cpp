#include "app/unattended.h"

#include "app/run.h"
#include "app/run_log.h"
#include "app/run_report.h"
#include "flows/bmc_return.h"
#include "flows/flows.h"
#include "flows/verify_dump.h"
#include "image/image_compare.h"
#include "platform/platform.h"
#include "platform/staged_file.h"
#include "platform/text.h"
#include "state/tool_context.h"

namespace {

constexpr const char kVerifyNeedsDump[] = "ERROR:PLEASE USE --verify WITH -d FILE\n\n";
constexpr const char kWaitNeedsUpdate[] =
    "ERROR:PLEASE USE --wait-bmc ONLY WITH -f FILE, NOT WITH -c OR -d\n\n";
constexpr const char kSharedFile[] = "ERROR:%s %s IS THE SAME FILE AS %s\n\n";

// Holds the temporary name that a clash is reported with.
constinit char gTemporaryName[platform::kStagedNameCapacity] = {};

// output, or its temporary name, when name leads to that file too.
const char* outputSharedWith(const char* name, const char* output) {
  if (output == nullptr) return nullptr;
  if (platform::sameFile(name, output)) return output;
  if (platform::stagedTemporaryName(output, gTemporaryName, sizeof gTemporaryName) &&
      platform::sameFile(name, gTemporaryName)) {
    return gTemporaryName;
  }
  return nullptr;
}

bool refuse(const char* message) {
  printUsage();
  platform::print("%s", message);
  return false;
}

bool refuseShared(const char* option, const char* name, const char* shared) {
  printUsage();
  platform::print(kSharedFile, option, name, shared);
  return false;
}
constexpr const char kNoMachineEnd[] =
    "ERROR:THIS PROGRAM DOES NOT RESTART OR POWER OFF THE MACHINE:%s\n\n";
constexpr const char kReportNamesAnotherFile[] =
    "ERROR:PLEASE GIVE --report A FILE OF ITS OWN\n\n";
constexpr const char kOnceNeedsBootManager[] =
    "ERROR:PLEASE USE --once ONLY WHEN THE BOOT MANAGER STARTS THE PROGRAM, NOT IN A SHELL\n\n";
constexpr const char kBmcInfoAlone[] = "ERROR:PLEASE USE --bmc-info WITHOUT -f, -d OR -c\n\n";

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

bool statusAnywhere(int argc, char** argv) {
  for (int i = 1; i < argc; i += argumentsTaken(argc, argv, i)) {
    if (text::equal(argv[i], "--status")) return true;
  }
  return false;
}

const char* namedFileSharedWith(int argc, char** argv, const char* name) {
  for (int i = 1, taken = 0; i < argc; i += taken) {
    taken = argumentsTaken(argc, argv, i);
    const char* value = taken == 2 ? argv[i + 1] : nullptr;
    if (value != nullptr && text::equal(argv[i], "-d")) {
      if (const char* shared = outputSharedWith(name, value)) return shared;
      continue;
    }
    const char* input = value != nullptr && text::equal(argv[i], "-f") ? value : nullptr;
    if (input == nullptr) input = verifyImageAt(argc, argv, i);
    if (input != nullptr && platform::sameFile(name, input)) return input;
  }
  return nullptr;
}

bool unattendedOptionsValid(int argc, char** argv) {
  const AfterRun after = toolContext.runOptions.afterRun;
  if (after != AfterRun::kReturn && !platform::machineEndAllowed()) {
    toolContext.runOptions.afterRun = AfterRun::kReturn;
    printUsage();
    platform::print(kNoMachineEnd, after == AfterRun::kRestart ? "--reboot" : "--poweroff");
    return false;
  }
  if (toolContext.runOptions.once && !platform::bootEntryRemovable()) {
    toolContext.runOptions.once = false;
    return refuse(kOnceNeedsBootManager);
  }
  if (runreport::namesAnotherFile()) {
    toolContext.runOptions.reportFile = nullptr;  // written at the end, it would replace that file
    printUsage();
    platform::print("%s", kReportNamesAnotherFile);
    return false;
  }
  const RunOptions& options = toolContext.runOptions;
  const bool dump = toolContext.dumpFile != nullptr && !toolContext.configMode;
  if (options.verifyImage != nullptr && !dump) return refuse(kVerifyNeedsDump);
  const bool noUpdate =
      toolContext.configMode || toolContext.dumpFile != nullptr || options.bmcInfo;
  if (options.waitBmcSeconds != 0 && noUpdate) {
    return refuse(kWaitNeedsUpdate);
  }
  if (options.logFile != nullptr) {
    const char* shared = namedFileSharedWith(argc, argv, options.logFile);
    if (shared != nullptr) return refuseShared("--log", options.logFile, shared);
  }
  if (options.verifyImage != nullptr) {
    const char* shared = outputSharedWith(options.verifyImage, toolContext.dumpFile);
    if (shared != nullptr) return refuseShared("--verify", options.verifyImage, shared);
  }
  return true;
}

bool verifyImageReadable() {
  const char* image = toolContext.runOptions.verifyImage;
  if (image == nullptr) return true;
  platform::File* file = platform::fileOpen(image, "rb");
  uint64_t size = 0;
  const bool readable = file != nullptr && measureOpenFile(file, &size);
  if (file != nullptr) platform::fileClose(file);
  if (readable) return true;
  noteOutcome(RunOutcome::kFileProblem);
  platform::print("ERROR: CANNOT READ THE IMAGE FILE %s\n\n", image);
  return false;
}

bool bmcInfoAlone() {
  if (toolContext.firmwareFile == nullptr && toolContext.dumpFile == nullptr &&
      !toolContext.configMode && toolContext.runOptions.verifyImage == nullptr) {
    return true;
  }
  printUsage();
  platform::print("%s", kBmcInfoAlone);
  return false;
}

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
