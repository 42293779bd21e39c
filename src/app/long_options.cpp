// The long options for unattended use. They all begin with "--", which no
// short option does, so they never change what an existing command line
// means.
#include "app/run.h"
#include "app/unattended.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "state/tool_context.h"

namespace {

constexpr uint32_t kMaxWaitSeconds = 999999;
constexpr const char kWaitBmc[] = "--wait-bmc";

int refuse(const char* format, const char* argument) {
  printUsage();
  platform::print(format, argument);
  return -1;
}

// "--name=VALUE" gives VALUE; "--name" followed by an argument gives that.
// Returns the arguments taken (1 or 2), or -1 after an error line.
int takeValue(int argc, char** argv, int index, const char* name, const char** value) {
  const char* argument = argv[index];
  const size_t nameLength = text::length(name);
  if (argument[nameLength] == '=') {
    if (argument[nameLength + 1] != '\0') {
      *value = argument + nameLength + 1;
      return 1;
    }
  } else if (index + 1 < argc) {
    *value = argv[index + 1];
    return 2;
  }
  return refuse("ERROR:PLEASE GIVE A VALUE FOR THE OPTION:%s\n\n", argument);
}

bool parseSeconds(const char* digits, uint32_t* seconds) {
  uint32_t value = 0;
  if (*digits == '\0') return false;
  for (; *digits != '\0'; ++digits) {
    if (*digits < '0' || *digits > '9') return false;
    value = value * 10 + static_cast<uint32_t>(*digits - '0');
    if (value > kMaxWaitSeconds) return false;
  }
  *seconds = value;
  return value > 0;
}

int applyWaitBmc(const char* argument) {
  const char* rest = argument + sizeof kWaitBmc - 1;
  if (*rest == '\0') {
    toolContext.runOptions.waitBmcSeconds = kDefaultWaitBmcSeconds;
    return 1;
  }
  if (*rest == '=' && parseSeconds(rest + 1, &toolContext.runOptions.waitBmcSeconds)) return 1;
  return refuse("ERROR:PLEASE CHECK THE VALUE OF THE OPTION:%s\n\n", argument);
}

// "--name" alone or "--name=..."
bool named(const char* argument, const char* name) {
  if (!text::startsWith(argument, name)) return false;
  const char next = argument[text::length(name)];
  return next == '\0' || next == '=';
}

}  // namespace

int applyLongOption(int argc, char** argv, int index) {
  const char* argument = argv[index];
  RunOptions& options = toolContext.runOptions;
  if (text::equal(argument, "--status")) {
    options.exitStatus = true;
    return 1;
  }
  if (text::equal(argument, "--yes")) {
    options.assumeYes = true;
    return 1;
  }
  if (named(argument, kWaitBmc)) return applyWaitBmc(argument);
  if (text::equal(argument, "--bmc-info")) {
    options.bmcInfo = true;
    return 1;
  }
  if (named(argument, "--log")) return takeValue(argc, argv, index, "--log", &options.logFile);
  if (named(argument, "--report")) {
    return takeValue(argc, argv, index, "--report", &options.reportFile);
  }
  if (named(argument, "--verify")) {
    return takeValue(argc, argv, index, "--verify", &options.verifyImage);
  }
  return 0;
}

const char* findReportFile(int argc, char** argv) {
  constexpr const char kReport[] = "--report";
  const char* found = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (text::equal(argv[i], kReport) && i + 1 < argc) {
      found = argv[++i];
    } else if (text::startsWith(argv[i], "--report=") && argv[i][sizeof kReport] != '\0') {
      found = argv[i] + sizeof kReport;
    }
  }
  return found;
}
