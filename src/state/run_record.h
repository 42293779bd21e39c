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

struct RunOptions {
  const char* logFile;      // --log
  const char* verifyImage;  // --verify
  bool exitStatus;          // --status
  bool assumeYes;           // --yes
  uint32_t waitBmcSeconds;  // --wait-bmc; 0 = do not wait
};

struct RunRecord {
  RunOutcome outcome;
  bool coldResetSent;
  // The user stopped the run (a signal on Linux): after the cold reset that
  // ends a stopped update nothing waits for the BMC.
  bool interrupted;
  // The exit status carries the outcome even without --status (a platform
  // whose programs are expected to say what happened).
  bool exitStatusByDefault;
  // Set by run control: ends the run record (log, exit status) for a mode
  // that ends the program itself; returns the exit status.
  int (*finish)();
};
