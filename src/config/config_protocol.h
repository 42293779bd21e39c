// The task protocol carried in the configuration request (0xF8/0x20):
// operation codes, task states, area sizes and little-endian numbers.
#pragma once

#include <cstdint>

namespace configproto {

// Low nibble of request byte 0; the high nibble holds the task id.
constexpr uint8_t kOpOpenBackup = 0x00;
constexpr uint8_t kOpOpenRestore = 0x01;
constexpr uint8_t kOpStart = 0x02;
constexpr uint8_t kOpBlock = 0x03;  // a data block, or the Abort when alone
constexpr uint8_t kOpReset = 0x06;

constexpr uint8_t kStateReset = 0;
constexpr uint8_t kStateOpen = 1;
constexpr uint8_t kStateMoving = 2;
constexpr uint8_t kStateLastData = 4;
constexpr uint8_t TASK_FAIL_STATE = 5;

constexpr uint8_t kDirectionBackup = 0;
constexpr uint8_t kDirectionRestore = 1;

constexpr int32_t kPrepareReplyCapacity = 16;
constexpr int32_t kBlockReplyCapacity = 128;
constexpr int32_t kBlockHeaderLength = 4;  // operation byte and 24-bit sequence
constexpr int32_t kRestoreChunkLength = 45;
constexpr uint32_t kSequenceModulus = 0x1000000;
constexpr int kMaxEmptyReplies = 6;

constexpr uint8_t operationByte(uint8_t taskId, uint8_t operation) {
  return static_cast<uint8_t>((taskId << 4) | operation);
}

constexpr uint32_t readLe24(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16;
}

constexpr int32_t readLe32Signed(const uint8_t* bytes) {
  const uint32_t value = readLe24(bytes) | static_cast<uint32_t>(bytes[3]) << 24;
  return static_cast<int32_t>(value);
}

constexpr void writeLe24(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
  bytes[2] = static_cast<uint8_t>(value >> 16);
}

constexpr void writeLe32(uint8_t* bytes, uint32_t value) {
  writeLe24(bytes, value);
  bytes[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace configproto
