#include "config_bmc.h"

#include <algorithm>
#include <cstdio>

#include "transport/ipmi_wire.h"

namespace sim {

namespace {
constexpr uint32_t kSequenceMask = 0xFFFFFF;

constexpr uint8_t kStateIdle = 0;
constexpr uint8_t kStateOpen = 1;
constexpr uint8_t kStateMoving = 2;
constexpr uint8_t kStateLastData = 4;
constexpr uint8_t kStateFailed = 5;

uint32_t le24(const Bytes& data, size_t at) {
  return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
         static_cast<uint32_t>(data[at + 2]) << 16;
}

void putLe(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

const char* configOpName(ConfigOp op) {
  switch (op) {
    case ConfigOp::Reset: return "reset";
    case ConfigOp::OpenBackup: return "open backup";
    case ConfigOp::OpenRestore: return "open restore";
    case ConfigOp::Start: return "start";
    case ConfigOp::Block: return "block";
    case ConfigOp::Abort: return "abort";
    case ConfigOp::Unknown: return "unknown";
  }
  return "?";
}

ConfigOp classifyConfigRequest(const Bytes& data) {
  if (data.empty()) return ConfigOp::Unknown;
  if (data[0] == 0x06) return ConfigOp::Reset;
  switch (data[0] & 0x0F) {
    case 0x00: return ConfigOp::OpenBackup;
    case 0x01: return ConfigOp::OpenRestore;
    case 0x02: return ConfigOp::Start;
    case 0x03: return data.size() == 1 ? ConfigOp::Abort : ConfigOp::Block;
    default: return ConfigOp::Unknown;
  }
}

ConfigBmc::ConfigBmc(Bmc& bmc) {
  bmc.setHandler(kNetFnLunOem, kCmdConfigTask, [this](const Request& request) {
    return handle(request);
  });
}

void ConfigBmc::note(const std::string& line) { journal.push_back("config " + line); }

void ConfigBmc::violation(const std::string& what) {
  violations.push_back(what);
  note("protocol violation: " + what);
}

Reply ConfigBmc::statusReply(uint8_t state, uint32_t sequence, const Bytes& tail) const {
  Bytes data{static_cast<uint8_t>(task_.id << 4 | state << 1)};
  putLe(data, sequence & kSequenceMask, 3);
  data.insert(data.end(), tail.begin(), tail.end());
  return Reply{0, data};
}

std::optional<Reply> ConfigBmc::handle(const Request& request) {
  const Bytes& data = request.data;
  if (data.empty()) {
    violation("empty request");
    return Reply{kCodeInvalidLength, {}};
  }
  const ConfigOp op = classifyConfigRequest(data);
  if (op == ConfigOp::Unknown) {
    // The command exists; only its content is wrong.
    violation("unknown operation byte " + hex(data[0]));
    return Reply{kCodeInvalidField, {}};
  }
  if (auto fault = knobs.faults.find(op); fault != knobs.faults.end()) {
    int& served = faultsServed_[op];
    if (fault->second.times < 0 || served < fault->second.times) {
      ++served;
      note(std::string(configOpName(op)) + " -> injected failure");
      if (fault->second.noAnswer) return std::nullopt;
      return Reply{fault->second.completionCode.value_or(kCodeInvalidCommand), {}};
    }
  }
  switch (op) {
    case ConfigOp::Reset: return reset();
    case ConfigOp::OpenBackup: return openTask(false, data);
    case ConfigOp::OpenRestore: return openTask(true, data);
    case ConfigOp::Start:
      if (!checkTaskRequest(data[0] >> 4, "start")) return statusReply(kStateFailed, 0);
      return start();
    case ConfigOp::Block: return block(data);
    case ConfigOp::Abort: return abort(data[0] >> 4);
    case ConfigOp::Unknown: break;
  }
  return std::nullopt;
}

std::optional<Reply> ConfigBmc::reset() {
  task_ = Task{};
  note("reset");
  return Reply{0, {static_cast<uint8_t>(kStateIdle << 1)}};
}

std::optional<Reply> ConfigBmc::openTask(bool restore, const Bytes& data) {
  if (restore && data.size() != 5) {
    violation("open restore of " + std::to_string(data.size()) + " bytes");
    return Reply{kCodeInvalidLength, {}};
  }
  task_ = Task{};
  task_.open = true;
  task_.restore = restore;
  task_.id = knobs.taskId & 0x0F;
  if (restore) task_.announcedSize = le24(data, 1) | static_cast<uint32_t>(data[4]) << 24;
  note(std::string(restore ? "open restore size " + std::to_string(task_.announcedSize)
                           : "open backup") +
       " -> task " + std::to_string(task_.id));
  return Reply{0, {static_cast<uint8_t>(task_.id << 4 | kStateOpen << 1)}};
}

bool ConfigBmc::checkTaskRequest(uint8_t taskId, const char* what) {
  if (!task_.open) {
    violation(std::string(what) + " without an open task");
    return false;
  }
  if (taskId != task_.id) {
    violation(std::string(what) + " for task " + std::to_string(taskId) + ", open is " +
              std::to_string(task_.id));
    return false;
  }
  return true;
}

std::optional<Reply> ConfigBmc::start() {
  if (task_.startReplies++ < knobs.startBusyReplies) {
    note("start -> busy (state 1)");
    return statusReply(kStateOpen, 0, Bytes(4, 0));
  }
  task_.started = true;
  task_.nextSequence = knobs.initialSequence & kSequenceMask;
  const int32_t length = task_.restore ? static_cast<int32_t>(task_.announcedSize)
                                       : knobs.announcedLength.value_or(
                                             static_cast<int32_t>(store.size()));
  Bytes tail;
  putLe(tail, static_cast<uint32_t>(length), 4);
  note("start -> sequence " + hex(task_.nextSequence) + " length " + std::to_string(length));
  return statusReply(kStateMoving, task_.nextSequence, tail);
}

std::optional<Reply> ConfigBmc::block(const Bytes& data) {
  if (!checkTaskRequest(data[0] >> 4, "block")) return statusReply(kStateFailed, 0);
  if (data.size() < 4) {
    violation("block request of " + std::to_string(data.size()) + " bytes");
    return statusReply(kStateFailed, 0);
  }
  const uint32_t sequence = le24(data, 1);
  if (!task_.started || task_.failed) {
    violation("block in a task that is not moving data");
    return statusReply(kStateFailed, sequence);
  }
  if (sequence != task_.nextSequence) {
    violation("block sequence " + hex(sequence) + ", expected " + hex(task_.nextSequence));
    task_.failed = true;
    return statusReply(kStateFailed, sequence);
  }
  if (std::optional<Reply> odd = oddReplyAtBlock(sequence)) return odd;
  if (task_.restore) return restoreBlock(sequence, Bytes(data.begin() + 4, data.end()));
  if (data.size() != 4) violation("backup block request with data");
  return backupBlock(sequence);
}

// The knobs that answer a block with something other than its data.
std::optional<Reply> ConfigBmc::oddReplyAtBlock(uint32_t sequence) {
  const int at = static_cast<int>(task_.blocks);
  const uint32_t next = (sequence + 1) & kSequenceMask;
  if (at == knobs.failStateAtBlock) {
    task_.failed = true;
    note("block " + hex(sequence) + " -> task failed (state 5)");
    return statusReply(kStateFailed, next);
  }
  if (at == knobs.emptyRepliesAtBlock && task_.emptyServed < knobs.emptyReplyCount) {
    ++task_.emptyServed;
    note("block " + hex(sequence) + " -> empty reply");
    return statusReply(kStateMoving, next);
  }
  if (at == knobs.otherStateAtBlock && task_.otherServed < knobs.otherStateCount) {
    ++task_.otherServed;
    note("block " + hex(sequence) + " -> state " + std::to_string(knobs.otherState));
    return statusReply(knobs.otherState & 0x07, next);
  }
  if (at == knobs.wrongSequenceAtBlock) {
    note("block " + hex(sequence) + " -> wrong sequence");
    return statusReply(kStateMoving, (sequence + 2) & kSequenceMask, Bytes{0xEE});
  }
  if (at == knobs.foreignTaskIdAtBlock) {
    note("block " + hex(sequence) + " -> foreign task id");
    Reply reply = statusReply(kStateMoving, next, Bytes{0xEE});
    reply.data[0] = static_cast<uint8_t>((((task_.id + 1) & 0x0F) << 4) | kStateMoving << 1);
    return reply;
  }
  return std::nullopt;
}

std::optional<Reply> ConfigBmc::backupBlock(uint32_t sequence) {
  const std::vector<size_t>& lengths = knobs.backupChunkLengths;
  const size_t wanted =
      lengths.empty() ? 60 : lengths[std::min(task_.blocks, lengths.size() - 1)];
  const size_t chunk = std::min(wanted, store.size() - std::min(store.size(), task_.offset));
  const Bytes tail(store.begin() + static_cast<long>(task_.offset),
                   store.begin() + static_cast<long>(task_.offset + chunk));
  task_.offset += chunk;
  ++task_.blocks;
  task_.nextSequence = (sequence + 1) & kSequenceMask;
  const uint8_t state = task_.offset >= store.size() ? kStateLastData : kStateMoving;
  note("block " + hex(sequence) + " -> " + std::to_string(chunk) + " bytes, state " +
       std::to_string(state));
  return statusReply(state, task_.nextSequence, tail);
}

std::optional<Reply> ConfigBmc::restoreBlock(uint32_t sequence, const Bytes& payload) {
  if (payload.empty()) violation("restore block without data");
  task_.incoming.insert(task_.incoming.end(), payload.begin(), payload.end());
  ++task_.blocks;
  task_.nextSequence = (sequence + 1) & kSequenceMask;
  note("block " + hex(sequence) + " <- " + std::to_string(payload.size()) + " bytes");
  if (task_.incoming.size() > task_.announcedSize) violation("restore longer than announced");
  if (task_.incoming.size() == task_.announcedSize) {
    store = task_.incoming;
    ++restoresCompleted;
    note("restore complete: " + std::to_string(store.size()) + " bytes stored");
  }
  return statusReply(kStateMoving, task_.nextSequence);
}

std::optional<Reply> ConfigBmc::abort(uint8_t taskId) {
  const bool hadTask = task_.open;
  if (hadTask && taskId != task_.id) violation("abort of task " + std::to_string(taskId));
  ++aborts;
  note(hadTask ? "abort task " + std::to_string(task_.id) : "abort (no task)");
  task_ = Task{};
  return Reply{0, {static_cast<uint8_t>(kStateIdle << 1)}};
}

}  // namespace sim
