// Run control: from the argument vector to exactly one mode.
#include "app/run.h"
#include "app/help.h"
#include "app/option_checks.h"
#include "app/run_lifecycle.h"

#include "state/tool_context.h"
#include "config/config.h"
#include "flows/bmc_info.h"
#include "flows/flows.h"
#include "flows/jobs.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/kcs.h"

namespace {

// The KCS interface, unless the platform's start-up offered another way.
constinit TransportOps boundTransport = {};
using PasswordFinder = bool (*)();
constinit PasswordFinder lanPasswordFinder = nullptr;

// Where the platform keeps runs apart: false when another run has the BMC
// of that name.
using BmcClaim = bool (*)(const char* bmcName);
constinit BmcClaim boundBmcClaim = nullptr;

// True when this run may go on to the BMC; false after the message. A BMC
// the transport cannot name yet is one its open will say is out of reach.
bool bmcClaimed() {
  char name[kBmcNameCapacity];
  if (boundBmcClaim == nullptr || toolContext.transport.nameBmc(name, sizeof name) != 0 ||
      boundBmcClaim(name)) {
    return true;
  }
  noteOutcome(RunOutcome::kRefused);
  platform::print("ERROR:ANOTHER RUN OF THIS PROGRAM IS USING THIS BMC\n\n");
  return false;
}

const TransportOps& boundOf(void* self) { return *static_cast<const TransportOps*>(self); }

int openBound(void* self) { return boundOf(self).open(); }

// The bound transfer, with the message bytes each way counted for the report.
int countedTransfer(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                    int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                    int32_t* responseLength) {
  const TransportOps& bound = boundOf(self);
  // A request longer than this way carries is refused here, never cut.
  if (dataLength > bound.maxRequestData) return -1;
  const int code = bound.transfer(netFnLun, command, data, dataLength, response,
                                  responseCapacity, responseLength);
  RunRecord& record = toolContext.runRecord;
  record.bytesSent += 2 + static_cast<uint64_t>(dataLength > 0 ? dataLength : 0);
  if (code >= 0) {
    record.bytesReceived += 1 + static_cast<uint64_t>(*responseLength > 0 ? *responseLength : 0);
  }
  return code;
}

int closeBound(void* self) { return boundOf(self).close(); }

int nameBound(void* self, char* name, size_t capacity) {
  return boundOf(self).nameBmc(name, capacity);
}

constexpr TransportMethods kCountedOps = {openBound, countedTransfer, closeBound, nameBound};

void bindTransport() {
  if (boundTransport.methods == nullptr) boundTransport = kcsTransport();
  toolContext.transport = TransportOps{&kCountedOps, &boundTransport, boundTransport.maxRequestData,
                                    boundTransport.maxResponseData};
}

// Run control is the one place the transport opens and closes: once per run.
constinit bool transportOpen = false;

// 0 with the transport open; -1 when there is no way to the BMC (the
// transport may have said why and noted the outcome).
int openTransport() {
  if (toolContext.transport.open() == -1) return -1;
  transportOpen = true;
  char* name = toolContext.runRecord.transportName;
  if (toolContext.transport.nameBmc(name, kBmcNameCapacity) != 0) name[0] = '\0';
  return 0;
}

// After the job, whatever its outcome.
void closeTransport() {
  if (!transportOpen) return;
  transportOpen = false;
  toolContext.transport.close();
}

// The configuration driver's way to the BMC, opened once its file is ready.
bool reachBmcForConfig() {
  if (openTransport() == 0) return true;
  // As for the other modes: no way to the BMC is one that does not answer
  // (unless it refused the session, which its own line said).
  if (toolContext.runRecord.outcome == RunOutcome::kUnset) noteOutcome(RunOutcome::kNoAnswer);
  return false;
}

// --bmc-info: the identity block alone, without the banner.
int runBmcInfoJob() {
  bindTransport();
  if (!bmcClaimed()) return -1;
  if (openTransport() == -1) {
    // A BMC that refused the session has been named with its own line.
    if (toolContext.runRecord.outcome != RunOutcome::kUnset) return -1;
    noteOutcome(RunOutcome::kNoAnswer);
    platform::print("ERROR: THE BMC DID NOT ANSWER GET DEVICE ID\n");
    return -1;
  }
  return runBmcInfo();
}

void echoCommandLine(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) platform::print("%s ", shownArgument(argc, argv, i));
  platform::print("\n");
}

// --help or --version: shown instead of a job, a success.
int showInformation(const char* programPath) {
  if (toolContext.runOptions.request == InfoRequest::kHelp) {
    printHelp();
  } else {
    printVersion(programPath);
  }
  noteOutcome(RunOutcome::kSuccess);
  return 0;
}

int runTransferMode(Job job) {
  if (job == Job::kDump) return runDumpAndVerify();
  if (job == Job::kUsbUpdate) return runUsbFirmwareUpdate();
  return runUpdateAndWaitForBmc();
}

// A job on files (-f, -d, -c): the banner and the command line, then the
// steps that touch the BMC or the files, in that order.
int runFileJob(Job job, int argc, char** argv) {
  bindTransport();
  printUsage();
  echoCommandLine(argc, argv);
  if (!bmcClaimed() || !verifyImageReadable()) return -1;

  if (job == Job::kConfig) return runConfigDriver(reachBmcForConfig);
  if (openTransport() == -1) {
    if (toolContext.runRecord.outcome == RunOutcome::kUnset) noteOutcome(RunOutcome::kNoAnswer);
    return -1;
  }
  return runTransferMode(job);
}

int runSteps(int argc, char** argv) {
  const Job job = chooseJob(argc, argv);
  switch (job) {
    case Job::kRefused: return endBadCommandLine();
    case Job::kInformation: return showInformation(argv[0]);
    case Job::kBmcInfo: return runBmcInfoJob();
    case Job::kUpdate:
    case Job::kUsbUpdate:
    case Job::kDump:
    case Job::kConfig: return runFileJob(job, argc, argv);
  }
  return endBadCommandLine();
}

}  // namespace

int runTool(int argc, char** argv) {
  beginRunRecord(argc, argv);
  const int result = runSteps(argc, argv);
  closeTransport();
  endRunRecord();
  return result;
}

void offerTransport(const TransportOps& transport) { boundTransport = transport; }

void offerBmcClaim(bool (*claim)(const char* bmcName)) { boundBmcClaim = claim; }

void offerLan(bool (*findPassword)()) { lanPasswordFinder = findPassword; }

bool lanOffered() { return lanPasswordFinder != nullptr; }

bool findLanPasswordIfOffered() { return lanPasswordFinder == nullptr || lanPasswordFinder(); }

int velkoranMain(int argc, char** argv, bool exitStatusByDefault) {
  installProgramModules();
  toolContext.runRecord.exitStatusByDefault = exitStatusByDefault;
  runTool(argc, argv);
  // 0 unless the outcome is to be reported; endRunRecord gives it again,
  // then the machine restarts or powers off if the options ask for it.
  return concludeRun();
}
