// Run control: from the argument vector to exactly one mode.
#include "app/run.h"
#include "app/help.h"
#include "app/unattended.h"

#include "state/tool_context.h"
#include "config/config.h"
#include "flows/bmc_info.h"
#include "flows/flows.h"
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

bool lanReady();

// --bmc-info: the identity block alone, without the banner.
int runBmcInfoJob(int argc, char** argv) {
  if (!bmcInfoAlone() || !unattendedOptionsValid(argc, argv) || !lanReady()) {
    return endBadCommandLine();
  }
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

void clearOptionTexts() {
  toolContext.interfaceName[0] = '\0';
  toolContext.host[0] = '\0';
  toolContext.port[0] = '\0';
  toolContext.userName[0] = '\0';
  toolContext.password[0] = '\0';
  toolContext.configTask = ConfigTask{};
}

// A LAN interface needs its host and credentials; false after the message.
bool lanSettingsComplete() {
  struct Required {
    const char* value;
    const char* message;
  };
  const Required required[] = {
      {toolContext.host, "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n"},
      {toolContext.userName, "ERROR:PLEASE ENTER THE USER NAME\n\n"},
      {toolContext.password, "ERROR:PLEASE ENTER THE PASSWORD\n\n"},
  };
  for (const Required& field : required) {
    if (field.value[0] == '\0') {
      platform::print("%s", field.message);
      printUsage();
      return false;
    }
  }
  return true;
}

// -i lan: complete settings, and a platform that reaches a BMC over LAN;
// true as well when -i lan was not given. False after the message.
bool lanReady() {
  if (!text::equal(toolContext.interfaceName, "lan")) return true;
  if (lanPasswordFinder != nullptr && !lanPasswordFinder()) return false;
  if (!lanSettingsComplete()) return false;
  if (lanPasswordFinder != nullptr) return true;
  platform::print(
      "ERROR:THIS PROGRAM REACHES THE BMC OVER KCS ONLY, USE velkoran FOR LINUX FOR -i lan\n\n");
  printUsage();
  return false;
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

int runTransferMode() {
  if (toolContext.dumpFile != nullptr) return runDumpAndVerify();
  if (text::equal(toolContext.interfaceName, "usb")) return runUsbFirmwareUpdate();
  return runUpdateAndWaitForBmc();
}

int runSteps(int argc, char** argv) {
  clearOptionTexts();
  toolContext.runOptions.exitStatus = statusAnywhere(argc, argv);
  if (argc > 1 && !parseCommandLine(argc, argv)) return endBadCommandLine();
  if (toolContext.runOptions.request != InfoRequest::kNone) return showInformation(argv[0]);
  if (toolContext.runOptions.bmcInfo) return runBmcInfoJob(argc, argv);
  if (toolContext.dumpFile == nullptr && toolContext.firmwareFile == nullptr) {
    printUsage();
    return endBadCommandLine();
  }
  if (toolContext.preserveConfig == kPreserveNotGiven) toolContext.preserveConfig = 1;
  if (!lanReady() || !unattendedOptionsValid(argc, argv)) return endBadCommandLine();

  bindTransport();
  printUsage();
  echoCommandLine(argc, argv);
  if (!bmcClaimed() || !verifyImageReadable()) return -1;

  if (toolContext.configMode) return runConfigDriver(reachBmcForConfig);
  if (openTransport() == -1) {
    if (toolContext.runRecord.outcome == RunOutcome::kUnset) noteOutcome(RunOutcome::kNoAnswer);
    return -1;
  }
  return runTransferMode();
}

}  // namespace

int runTool(int argc, char** argv) {
  beginRunRecord(argc, argv);
  toolContext.runRecord.transportName[0] = '\0';
  const int result = runSteps(argc, argv);
  closeTransport();
  endRunRecord();
  return result;
}

void offerTransport(const TransportOps& transport) { boundTransport = transport; }

void offerBmcClaim(bool (*claim)(const char* bmcName)) { boundBmcClaim = claim; }

void offerLan(bool (*findPassword)()) { lanPasswordFinder = findPassword; }

bool lanOffered() { return lanPasswordFinder != nullptr; }

int velkoranMain(int argc, char** argv, bool exitStatusByDefault) {
  installProgramModules();
  toolContext.runRecord.exitStatusByDefault = exitStatusByDefault;
  runTool(argc, argv);
  // 0 unless the outcome is to be reported; endRunRecord gives it again,
  // then the machine restarts or powers off if the options ask for it.
  return concludeRun();
}
