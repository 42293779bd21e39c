// The single global state record of a run. It sits below every subsystem so
// that transport, image, flows and config read it without reaching up into
// run control, which fills it and installs the program's modules.
#pragma once

#include <cstdint>

#include "state/image_region.h"
#include "platform/platform.h"
#include "state/run_record.h"
#include "state/silence_notice.h"
#include "state/transport.h"


struct ConfigModule {
  const char* name;
  uint8_t enabled;
  int8_t (*prepare)();
  int8_t (*transferBlocks)();
  int8_t (*postRestore)();
  int8_t (*finish)();
};

struct ConfigTask {
  uint8_t taskState;
  uint8_t taskId;
  uint8_t direction;  // 0 backup, 1 restore
  uint64_t sequence;  // low 24 bits used
  int64_t totalLength;
  platform::File* file;
  const ConfigModule* module;
};

constexpr uint8_t kPreserveNotGiven = 0xFF;

// A silent BMC costs a KCS transfer its first 10-second status wait.
constexpr uint32_t kKcsTransferBoundSeconds = 10;

struct ToolContext {
  // Options from the command line.
  const char* firmwareFile;
  const char* dumpFile;
  // Room for what a network needs (a host name, the IPMI v2.0 user name
  // and password); a build that reaches the BMC over KCS only keeps the
  // first 15 bytes of each, as it always did.
  char password[21];
  char userName[17];
  char port[16];
  char host[256];
  char interfaceName[8];
  uint8_t preserveConfig;
  bool configMode;

  // TransportOps.
  TransportOps transport;  // the bound one: every request of the run
  uint64_t commandPort;
  uint64_t dataPort;
  uint64_t statusPort;
  SilenceNotice silence;  // the request under way, when it retries or waits long
  // The longest one transfer of the bound transport waits for a BMC that
  // does not answer; retrying loops add it up for their notice's bound.
  uint32_t transferBoundSeconds;

  // Firmware image and flash state.
  uint64_t dumpLength;
  RegionList regions;  // the update's, from the image it sends
  uint8_t imageKind;
  uint8_t* pageBuffer;

  // Configuration backup and restore.
  ConfigModule configModules[2];
  ConfigTask configTask;

  // Unattended use: the long options and the outcome of the run.
  RunOptions runOptions;
  RunRecord runRecord;
};

extern ToolContext toolContext;

// Puts every field back to its initial value, with no module installed
// (host tests and tools run many jobs in one process; run control's
// resetToolContext also installs the program's modules).
void clearToolContext();

// Records how the run's job ended (the last note wins).
inline void noteOutcome(RunOutcome outcome) { toolContext.runRecord.outcome = outcome; }
// For a run that a signal ends where it stands: ends the run record (run
// control's) and gives the exit status.
inline int finishRunRecord() {
  return toolContext.runRecord.finish != nullptr ? toolContext.runRecord.finish() : 0;
}
