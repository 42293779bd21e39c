// What a run was asked to do beyond its mode (the options for unattended
// use) and what happened, so that run control can report it as an exit
// status and in a log without reading the console.
#pragma once

#include <cstdint>

#include "state/transport.h"

// The outcome classes; the numbers are the exit status under --status and
// must never change meaning.
enum class RunOutcome : uint8_t {
  kSuccess = 0,
  kBadCommandLine = 1,
  kFileProblem = 2,   // a file that cannot be opened, read, written or used
  kNoAnswer = 3,      // the BMC did not answer
  kRefused = 4,       // the BMC refused or failed the job
  kDifferent = 5,     // a verification found differences
  kNotBack = 6,       // the BMC did not come back in time
  kNoMemory = 7,      // the program could not get the memory it needs
  kUnsettled = 8,     // the BMC may still be writing its flash
  kUnset = 0xFF,
};

// The class's name in the log and the report.
constexpr const char* outcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kSuccess: return "success";
    case RunOutcome::kBadCommandLine: return "bad-command-line";
    case RunOutcome::kFileProblem: return "file-problem";
    case RunOutcome::kNoAnswer: return "no-answer";
    case RunOutcome::kRefused: return "refused";
    case RunOutcome::kDifferent: return "different";
    case RunOutcome::kNotBack: return "not-back";
    case RunOutcome::kNoMemory: return "no-memory";
    case RunOutcome::kUnsettled: return "unsettled";
    case RunOutcome::kUnset: break;
  }
  return "unknown";
}

constexpr uint32_t kDefaultWaitBmcSeconds = 600;

// What a run shows instead of doing a job (--help, --version).
enum class InfoRequest : uint8_t { kNone, kHelp, kVersion };
// How the run ends once its files are closed and its log is complete.
enum class AfterRun : uint8_t { kReturn, kRestart, kPowerOff };

struct RunOptions {
  const char* logFile;      // --log
  const char* reportFile;   // --report
  bool bmcInfo;             // --bmc-info
  const char* verifyImage;  // --verify
  bool exitStatus;          // --status
  bool assumeYes;           // --yes
  uint32_t waitBmcSeconds;  // --wait-bmc; 0 = do not wait
  InfoRequest request;      // --help, --version
  AfterRun afterRun;        // --reboot, --poweroff
  bool once;                // --once: remove the boot entry that started the run
  uint8_t cipherSuite;      // --cipher: 3 or 17; 0 = 17, else 3
  const char* passwordFile; // --password-file
};

struct FirmwareRevision {
  uint8_t major;  // 7 bits
  uint8_t minor;  // two BCD digits
};

// The BMC's answer to Get Device ID.
struct BmcIdentity {
  uint8_t deviceId;
  uint8_t deviceRevision;  // 4 bits
  FirmwareRevision firmware;
  uint8_t ipmiVersion;     // BCD, the minor digit in the high half
  uint32_t manufacturerId;  // 20 bits
  uint16_t productId;
  // The "device available" bit: false while the BMC updates its firmware
  // or SDR or initialises itself.
  bool available;
};

// Where an update stands, as the update flow declares it: signal handling
// reads it to know whether stopping now would leave the BMC half updated.
enum class UpdateStage : uint8_t {
  kNone,
  kSending,      // the image goes out: a stop ends it with the cold reset
  kResetting,    // the cold reset that abandons a half-sent image goes out
  kProgramming,  // the BMC writes its flash: a reset now would do harm
};

struct RunRecord {
  RunOutcome outcome;
  UpdateStage stage;
  bool coldResetSent;
  // What the run report tells beyond the outcome: the BMC's revision as the
  // run found and left it, its identity, and the IPMI message bytes each
  // way (network function, command and data out; completion code and data
  // back).
  bool revisionBeforeKnown;
  bool revisionAfterKnown;
  bool identityKnown;
  FirmwareRevision revisionBefore;
  FirmwareRevision revisionAfter;
  BmcIdentity identity;
  // The "device available" bit of the last Get Device ID answered.
  bool availabilityKnown;
  bool bmcAvailable;
  uint64_t bytesSent;
  uint64_t bytesReceived;
  // The BMC the run's transport reached, as that transport names it (the
  // one-run lock's name); empty when none was opened.
  char transportName[kBmcNameCapacity];
  // The exit status carries the outcome even without --status (a platform
  // whose programs are expected to say what happened).
  bool exitStatusByDefault;
  // Set by run control: ends the run record (log, exit status) for a run
  // that a signal ends before it returns; returns the exit status.
  int (*finish)();
};
