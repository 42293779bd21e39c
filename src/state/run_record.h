// What a run was asked to do beyond its mode (the options for unattended
// use) and what happened, so that run control can report it as an exit
// status and in a log without reading the console.
#pragma once

#include <cstdint>

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
  kUnset = 0xFF,
};

constexpr uint32_t kDefaultWaitBmcSeconds = 600;

// What a run shows instead of doing a job (--help, --version).
enum class InfoRequest : uint8_t { kNone, kHelp, kVersion };
// How the run ends once its files are closed and its log is complete.
enum class AfterRun : uint8_t { kReturn, kRestart, kPowerOff };

struct RunOptions {
  const char* logFile;      // --log
  const char* verifyImage;  // --verify
  bool exitStatus;          // --status
  bool assumeYes;           // --yes
  uint32_t waitBmcSeconds;  // --wait-bmc; 0 = do not wait
  InfoRequest request;      // --help, --version
  AfterRun afterRun;        // --reboot, --poweroff
};

struct RunRecord {
  RunOutcome outcome;
  bool coldResetSent;
  // The exit status carries the outcome even without --status (a platform
  // whose programs are expected to say what happened).
  bool exitStatusByDefault;
  // Set by run control: ends the run record (log, exit status) for a mode
  // that ends the program itself; returns the exit status.
  int (*finish)();
};
