// The "config" module's block transfer: numbered data blocks in either
// direction, with sequence checks and retransmission of empty blocks.
#include <array>

#include "state/tool_context.h"
#include "config/config.h"
#include "config/config_protocol.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "config/config_request.h"

using namespace configproto;

namespace {

constexpr IpmiCmdControl blockControl() { return {0, 0, 0, 5, 0, 0, 0}; }

// The running state of one transfer. The response length is set once and
// shared by every exchange.
struct BlockTransfer {
  ConfigTask& task;
  std::array<uint8_t, kBlockHeaderLength + kRestoreChunkLength> request{};
  std::array<uint8_t, kBlockReplyCapacity> reply{};
  int32_t replyLength = 0;
  IpmiCmdControl control = blockControl();
  int64_t processed = 0;
  int64_t chunkLength = 0;
  int emptyReplies = 0;
  // Restore: the block in the request was not taken and goes out again.
  bool resendBlock = false;
  size_t blockLength = 0;

  int send(int32_t requestLength) {
    return doIPMICmd(request.data(), requestLength, reply.data(), kBlockReplyCapacity,
                     &replyLength, &control);
  }
};

void printProgress(int64_t processed, int64_t totalLength) {
  platform::print("Bytes Processed data length : 0x%4lx Bytes Transmit Progress : %4ld %%\r",
                  static_cast<unsigned long>(processed),
                  static_cast<long>(processed * 100 / totalLength));
  platform::flush();
}

bool replyIsOurs(const BlockTransfer& transfer) {
  return transfer.control.replyTaskId == transfer.task.taskId;
}

uint32_t nextSequence(const ConfigTask& task) {
  return static_cast<uint32_t>((task.sequence + 1) % kSequenceModulus);
}

bool sequenceMatches(const BlockTransfer& transfer) {
  const uint32_t expected = nextSequence(transfer.task);
  const uint32_t received = readLe24(&transfer.reply[1]);
  if (received == expected) return true;
  platform::print("Error : Unsynchronized sequence. Expected : %u, Received : %u\n", expected,
                  received);
  return false;
}

// An exchange that moved no data: the same block is asked for again, up to
// the retransmission limit.
bool countEmptyReply(BlockTransfer& transfer) {
  transfer.chunkLength = 0;
  if (transfer.emptyReplies == kMaxEmptyReplies - 1) {
    // Noted now: an abort that goes unanswered later does not make this a
    // BMC that never answered.
    noteOutcome(RunOutcome::kRefused);
    platform::print("Retransmission failed %u times.\n", static_cast<unsigned>(kMaxEmptyReplies));
    return false;
  }
  ++transfer.emptyReplies;
  return true;
}

bool storeBackupData(BlockTransfer& transfer) {
  if (transfer.replyLength > kBlockReplyCapacity) {
    // Only part of this block reached us; keeping it would leave a hole.
    transfer.chunkLength = 0;
    platform::print("ERROR: BACKUP REPLY TOO LONG\n\n");
    return false;
  }
  transfer.task.sequence = nextSequence(transfer.task);
  const size_t dataLength = static_cast<size_t>(transfer.replyLength - kBlockHeaderLength);
  const size_t written =
      platform::fileWrite(transfer.task.file, &transfer.reply[kBlockHeaderLength], dataLength);
  transfer.chunkLength = static_cast<int64_t>(written);
  transfer.emptyReplies = 0;
  // Handing each block on at once shows a full volume at the block that did
  // not fit, not only when the file is closed.
  if (written != dataLength || platform::fileFlush(transfer.task.file) != 0) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("ERROR: WRITE BACKUP FILE FAILED\n\n");
    return false;
  }
  return true;
}

bool backupExchange(BlockTransfer& transfer) {
  if (transfer.send(kBlockHeaderLength) != 0) return false;
  if (!replyIsOurs(transfer)) return false;
  const uint8_t state = transfer.control.replyState;
  if (state == kStateMoving || state == kStateLastData) {
    if (!sequenceMatches(transfer)) return false;
    if (transfer.replyLength <= kBlockHeaderLength) return countEmptyReply(transfer);
    return storeBackupData(transfer);
  }
  if (state == TASK_FAIL_STATE) {
    platform::print("Error : TASK_FAIL_STATE\n");
    return false;
  }
  // A state that carries no data: ask again, but not for ever.
  return countEmptyReply(transfer);
}

// Reads the next block into the request; false after the message when the
// file gives less than what is left of it, up to a whole block.
bool readRestoreBlock(BlockTransfer& transfer) {
  // The file was measured: a block shorter than what is left of it means the
  // file could not be read (or shrank), and is never sent.
  const int64_t left = transfer.task.totalLength - transfer.processed;
  const size_t wanted =
      static_cast<size_t>(left < kRestoreChunkLength ? left : kRestoreChunkLength);
  transfer.blockLength = platform::fileReadFully(
      transfer.task.file, &transfer.request[kBlockHeaderLength], wanted);
  transfer.chunkLength = static_cast<int64_t>(transfer.blockLength);
  if (transfer.blockLength == wanted) return true;
  platform::print("ERROR: READ RESTORE FILE FAILED\n\n");
  return false;
}

// A block the BMC answered in a state that neither takes it nor fails the
// task: the same block with the same sequence goes out again, as often as
// an empty backup block is asked for again.
bool resendUntakenBlock(BlockTransfer& transfer) {
  transfer.resendBlock = countEmptyReply(transfer);
  return transfer.resendBlock;
}

bool restoreExchange(BlockTransfer& transfer) {
  if (!transfer.resendBlock && !readRestoreBlock(transfer)) return false;
  transfer.resendBlock = false;
  transfer.chunkLength = static_cast<int64_t>(transfer.blockLength);
  const int32_t requestLength = kBlockHeaderLength + static_cast<int32_t>(transfer.blockLength);
  if (transfer.send(requestLength) != 0) return false;
  if (!replyIsOurs(transfer)) return false;
  const uint8_t state = transfer.control.replyState;
  if (state == kStateMoving) {
    if (!sequenceMatches(transfer)) return false;
    transfer.task.sequence = nextSequence(transfer.task);
    transfer.emptyReplies = 0;
    return true;
  }
  if (state == TASK_FAIL_STATE) {
    platform::print("Error : TASK_FAIL_STATE\n");
    return false;
  }
  return resendUntakenBlock(transfer);
}

}  // namespace

int8_t configTransferBlocks() {
  BlockTransfer transfer{toolContext.configTask};
  ConfigTask& task = transfer.task;
  platform::print("Total data length : %9ld\n", static_cast<long>(task.totalLength));
  if (task.totalLength <= 0) return 0;
  for (;;) {
    text::fill(transfer.reply.data(), 0, kBlockHeaderLength);
    transfer.request[0] = operationByte(task.taskId, kOpBlock);
    writeLe24(&transfer.request[1], static_cast<uint32_t>(task.sequence % kSequenceModulus));
    const bool moved = task.direction == kDirectionBackup ? backupExchange(transfer)
                                                           : restoreExchange(transfer);
    if (!moved) {
      printProgress(transfer.processed + transfer.chunkLength, task.totalLength);
      return -1;
    }
    transfer.processed += transfer.chunkLength;
    printProgress(transfer.processed, task.totalLength);
    if (transfer.processed >= task.totalLength) return 0;
  }
}
