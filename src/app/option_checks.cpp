// The one check of the options' combinations, in the order the run has
// always made them, so that every refusal keeps its line.
#include "app/option_checks.h"

#include "app/long_options.h"
#include "app/run.h"
#include "app/run_report.h"
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

// Combinations of options that cannot work: banner and an error line.
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

// --bmc-info runs alone: no mode option beside it (banner and an error line).
bool bmcInfoAlone() {
  if (toolContext.firmwareFile == nullptr && toolContext.dumpFile == nullptr &&
      !toolContext.configMode && toolContext.runOptions.verifyImage == nullptr) {
    return true;
  }
  printUsage();
  platform::print("%s", kBmcInfoAlone);
  return false;
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
  if (!findLanPasswordIfOffered()) return false;
  if (!lanSettingsComplete()) return false;
  if (lanOffered()) return true;
  platform::print(
      "ERROR:THIS PROGRAM REACHES THE BMC OVER KCS ONLY, USE velkoran FOR LINUX FOR -i lan\n\n");
  printUsage();
  return false;
}

// --bmc-info: alone, then the options around it, then the way there.
Job bmcInfoJob(int argc, char** argv) {
  if (!bmcInfoAlone() || !unattendedOptionsValid(argc, argv) || !lanReady()) return Job::kRefused;
  return Job::kBmcInfo;
}

// -f or -d (with -c or not): the way there first, then the options around it.
Job fileJob(int argc, char** argv) {
  if (toolContext.dumpFile == nullptr && toolContext.firmwareFile == nullptr) {
    printUsage();
    return Job::kRefused;
  }
  if (toolContext.preserveConfig == kPreserveNotGiven) toolContext.preserveConfig = 1;
  if (!lanReady() || !unattendedOptionsValid(argc, argv)) return Job::kRefused;
  if (toolContext.configMode) return Job::kConfig;
  if (toolContext.dumpFile != nullptr) return Job::kDump;
  if (text::equal(toolContext.interfaceName, "usb")) return Job::kUsbUpdate;
  return Job::kUpdate;
}

}  // namespace

Job chooseJob(int argc, char** argv) {
  clearOptionTexts();
  toolContext.runOptions.exitStatus = statusAnywhere(argc, argv);
  if (argc > 1 && !parseCommandLine(argc, argv)) return Job::kRefused;
  if (toolContext.runOptions.request != InfoRequest::kNone) return Job::kInformation;
  if (toolContext.runOptions.bmcInfo) return bmcInfoJob(argc, argv);
  return fileJob(argc, argv);
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
