// The "config" module's task set-up and tear-down: prepare, postRestore and
// finish.
#include <array>

#include "state/tool_context.h"
#include "config/config.h"
#include "config/config_protocol.h"
#include "platform/platform.h"
#include "config/config_request.h"

using namespace configproto;

namespace {

constexpr IpmiCmdControl resetControl() { return {0, 1, kStateReset, 5, 0, 0, 0}; }
// A single attempt judged by the reply length only.
constexpr IpmiCmdControl openControl() { return {0, 1, kStateOpen, 0, 0, 0, 0}; }
constexpr IpmiCmdControl startControl() { return {2, 1, kStateMoving, 5, 0, 0, 0}; }
constexpr IpmiCmdControl abortControl() { return {0, 0, 0, 5, 0, 0, 0}; }

// A backup's start reply: status byte, 24-bit sequence, 32-bit length.
constexpr int32_t kLengthOffset = 4;
constexpr int32_t kStartReplyLength = kLengthOffset + 4;

// The three requests of prepare share one request and one reply area and
// one response length; nothing is cleared between them.
struct PrepareExchange {
  std::array<uint8_t, kPrepareReplyCapacity> request{};
  std::array<uint8_t, kPrepareReplyCapacity> reply{};
  int32_t replyLength = 0;

  int send(int32_t requestLength, IpmiCmdControl control) {
    return doIPMICmd(request.data(), requestLength, reply.data(), kPrepareReplyCapacity,
                     &replyLength, &control);
  }
};

int32_t openRequest(PrepareExchange& exchange, const ConfigTask& task) {
  if (task.direction == kDirectionBackup) {
    exchange.request[0] = kOpOpenBackup;
    return 1;
  }
  exchange.request[0] = kOpOpenRestore;
  writeLe32(&exchange.request[1], static_cast<uint32_t>(task.totalLength));
  return 5;
}

// The backup's length from the start reply: a reply without its length
// bytes would be read from an area that holds none of them, and a negative
// length is none a configuration can have. Either fails the task.
bool takeBackupLength(const PrepareExchange& exchange, ConfigTask& task) {
  const int32_t length = exchange.replyLength >= kStartReplyLength
                             ? readLe32Signed(&exchange.reply[kLengthOffset])
                             : -1;
  if (length < 0) {
    noteOutcome(RunOutcome::kRefused);
    platform::print("ERROR: THE BMC GAVE NO VALID BACKUP LENGTH\n\n");
    return false;
  }
  task.totalLength = length;
  return true;
}

}  // namespace

int8_t configPrepare() {
  ConfigTask& task = toolContext.configTask;
  PrepareExchange exchange;
  platform::print("Data preparing........\n");

  exchange.request[0] = kOpReset;
  if (exchange.send(1, resetControl()) != 0) return -1;

  if (exchange.send(openRequest(exchange, task), openControl()) != 0) return -1;
  task.taskId = exchange.reply[0] >> 4;
  task.taskState = (exchange.reply[0] & 0x0F) >> 1;

  exchange.request[0] = operationByte(task.taskId, kOpStart);
  if (exchange.send(1, startControl()) != 0) return -1;
  task.sequence = readLe24(&exchange.reply[1]);
  if (task.direction == kDirectionBackup && !takeBackupLength(exchange, task)) return -1;
  return 0;
}

int8_t configPostRestore() { return 0; }

int8_t configFinish() {
  const ConfigTask& task = toolContext.configTask;
  if (task.taskState != TASK_FAIL_STATE) return 0;
  std::array<uint8_t, 1> request{operationByte(task.taskId, kOpBlock)};
  std::array<uint8_t, kPrepareReplyCapacity> reply{};
  int32_t replyLength = 0;
  IpmiCmdControl control = abortControl();
  const int result = doIPMICmd(request.data(), 1, reply.data(), kPrepareReplyCapacity,
                               &replyLength, &control);
  return result == 0 ? 0 : -1;
}
