// The BMC's side of the configuration task protocol (0xF8/0x20): reset,
// open, start, data blocks in both directions and abort, over a stored
// configuration that a backup serves and a completed restore replaces.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bmc.h"

namespace sim {

enum class ConfigOp { Reset, OpenBackup, OpenRestore, Start, Block, Abort, Unknown };

// How one kind of request is made to fail.
struct ConfigOpFault {
  std::optional<uint8_t> completionCode;  // reply with this code and no data
  bool noAnswer = false;                  // a transport failure
  int times = -1;                         // how many requests; -1 every one
};

// Misbehaviour, all off by default. A "block" is the position of a data
// block in the task, counted from 0 (a retransmission asks for the same one).
struct ConfigBmcKnobs {
  uint32_t initialSequence = 0x10;
  uint8_t taskId = 3;
  // Data bytes of each backup reply in turn; the last entry repeats.
  std::vector<size_t> backupChunkLengths{60};
  // The length the start reply announces instead of the store's size.
  std::optional<int32_t> announcedLength;
  // Start replies in state 1 before the one in state 2.
  int startBusyReplies = 0;
  // `count` replies without data (backup) before the block is served.
  int emptyRepliesAtBlock = -1;
  int emptyReplyCount = 0;
  int wrongSequenceAtBlock = -1;  // the reply's sequence is off by one
  int foreignTaskIdAtBlock = -1;  // the reply carries another task id
  int failStateAtBlock = -1;      // state 5: the task fails on the BMC
  // `otherStateCount` replies in `otherState` (no data) at that block.
  int otherStateAtBlock = -1;
  uint8_t otherState = 3;
  int otherStateCount = 1;
  std::map<ConfigOp, ConfigOpFault> faults;
};

class ConfigBmc {
 public:
  // Installs the handler of command 0x20 into bmc; bmc must outlive this.
  explicit ConfigBmc(Bmc& bmc);
  ConfigBmc(const ConfigBmc&) = delete;
  ConfigBmc& operator=(const ConfigBmc&) = delete;

  // The configuration a backup serves; a completed restore replaces it.
  Bytes store;
  ConfigBmcKnobs knobs;

  // One line per request and what became of it.
  std::vector<std::string> journal;
  int aborts = 0;
  int restoresCompleted = 0;
  // Requests that broke the protocol (wrong sequence, unknown task id...).
  std::vector<std::string> violations;

  std::optional<Reply> handle(const Request& request);

 private:
  struct Task {
    bool open = false;
    bool started = false;
    bool failed = false;
    bool restore = false;
    uint8_t id = 0;
    uint32_t nextSequence = 0;  // the sequence the next block request carries
    uint32_t announcedSize = 0;
    size_t offset = 0;  // backup: bytes served; restore: bytes received
    size_t blocks = 0;  // blocks moved
    Bytes incoming;
    std::optional<Reply> lastBlockReply;
    int startReplies = 0;
    int emptyServed = 0;
    int otherServed = 0;
  };

  std::optional<Reply> reset();
  std::optional<Reply> openTask(bool restore, const Bytes& data);
  std::optional<Reply> start();
  std::optional<Reply> block(const Bytes& data);
  std::optional<Reply> abort(uint8_t taskId);
  std::optional<Reply> backupBlock(uint32_t sequence);
  std::optional<Reply> restoreBlock(uint32_t sequence, const Bytes& data);
  std::optional<Reply> oddReplyAtBlock(uint32_t sequence);
  bool checkTaskRequest(uint8_t taskId, const char* what);
  Reply statusReply(uint8_t state, uint32_t sequence, const Bytes& tail = {}) const;
  void note(const std::string& line);
  void violation(const std::string& what);

  Task task_;
  std::map<ConfigOp, int> faultsServed_;
};

ConfigOp classifyConfigRequest(const Bytes& data);
const char* configOpName(ConfigOp op);

}  // namespace sim
