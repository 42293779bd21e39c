#include "app/help.h"

#include "app/run.h"
#include "app/long_options.h"
#include "platform/platform.h"

// Set by the build (the source revision at configure time).
#ifndef VELKORAN_BUILD_ID
#define VELKORAN_BUILD_ID "unknown"
#endif

namespace {

constexpr const char* kDefaultProgramName = "velkoran";

struct OutcomeClass {
  RunOutcome outcome;
  const char* meaning;
};

constexpr OutcomeClass kOutcomeClasses[] = {
    {RunOutcome::kSuccess, "the job was done"},
    {RunOutcome::kBadCommandLine, "unknown option or value, no file"},
    {RunOutcome::kFileProblem, "a file cannot be opened, read or written"},
    {RunOutcome::kNoAnswer, "the BMC did not answer"},
    {RunOutcome::kRefused, "the BMC refused or failed the job"},
    {RunOutcome::kDifferent, "--verify found differences"},
    {RunOutcome::kNotBack, "the BMC did not come back within --wait-bmc"},
    {RunOutcome::kNoMemory, "the program could not get the memory it needs"},
    {RunOutcome::kUnsettled, "the BMC may still be writing its flash: keep the power on"},
};

// The last part of a path in either convention ("FS0:\Velkoran.efi",
// "/usr/sbin/velkoran").
const char* baseName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') name = p + 1;
  }
  return name;
}

}  // namespace

void printHelp() {
  printUsage();
  platform::print("LONG OPTIONS\n");
  printLongOptions();
  platform::print("ALSO ACCEPTED: -i kcs|lan|usb, -h HOST [PORT], -u USER, -p PASSWORD\n");
  platform::print("OUTCOME CLASSES (the exit status with --status; velkoran for Linux: always)\n");
  for (const OutcomeClass& entry : kOutcomeClasses) {
    platform::print("  %u %-18s%s\n", static_cast<unsigned>(entry.outcome),
                    outcomeName(entry.outcome),
                    entry.meaning);
  }
}

void printVersion(const char* programPath) {
  const char* name = programPath != nullptr ? baseName(programPath) : "";
  if (name[0] == '\0') name = kDefaultProgramName;
  platform::print("%s %s (build %s)\n", name, kProgramVersion, buildIdentification());
}

const char* buildIdentification() { return VELKORAN_BUILD_ID; }
