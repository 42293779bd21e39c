// The KCS transfer: a write phase that hands the request to the BMC byte by
// byte and a read phase that takes the reply, every wait bounded by a
// 10-second one-shot timer.
#include "transport/kcs.h"

#include "state/tool_context.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr uint8_t kStatusObf = 0x01;
constexpr uint8_t kStatusIbf = 0x02;
constexpr uint8_t kStatusStateLow = 0x40;
constexpr uint8_t kStatusStateHigh = 0x80;

constexpr uint8_t kWriteStart = 0x61;
constexpr uint8_t kWriteEnd = 0x62;
constexpr uint8_t kReadCode = 0x68;

constexpr uint64_t kWaitUnits = 10 * platform::kTimerUnitsPerSecond;
constexpr int kMessageBufferSize = kKcsMaxRequestData + 2;
constexpr int kResponseHeaderSize = 3;

constexpr const char* kStateError = "ERROR !! BMC did not in correct state\n";

enum class Outcome {
  ok,
  badState,     // a wait timed out or a status check failed: print the line
  timerFailed,  // no timer: fail without a message
};

uint16_t commandPort() { return static_cast<uint16_t>(toolContext.commandPort); }
uint16_t dataPort() { return static_cast<uint16_t>(toolContext.dataPort); }
uint8_t readStatus() { return platform::portRead(static_cast<uint16_t>(toolContext.statusPort)); }

// Polls the status until (status & mask) == wanted, for at most 10 seconds
// from the first read. The timer is armed only when that first read does
// not already satisfy the wait, so the usual exchange makes no timer calls.
Outcome waitForStatus(platform::Timer timer, uint8_t mask, uint8_t wanted, uint8_t* status) {
  *status = readStatus();
  if ((*status & mask) == wanted) return Outcome::ok;
  if (platform::timerArm(timer, kWaitUnits) != 0) return Outcome::timerFailed;
  while (!platform::timerFired(timer)) {
    *status = readStatus();
    if ((*status & mask) == wanted) {
      platform::timerCancel(timer);
      return Outcome::ok;
    }
  }
  platform::timerCancel(timer);
  return Outcome::badState;
}

Outcome waitIbfClear(platform::Timer timer, uint8_t* status) {
  return waitForStatus(timer, kStatusIbf, 0, status);
}

Outcome waitObfSet(platform::Timer timer, uint8_t* status) {
  return waitForStatus(timer, kStatusObf, kStatusObf, status);
}

// Reads the byte the BMC left in the data register and checks that OBF
// went clear with it.
Outcome discardDummyByte() {
  (void)platform::portRead(dataPort());
  return (readStatus() & kStatusObf) == 0 ? Outcome::ok : Outcome::badState;
}

// What follows every write but the last in the write phase: the BMC takes
// the byte, stays in the write state and leaves a dummy byte.
Outcome acknowledgeWrite(platform::Timer timer) {
  uint8_t status = 0;
  Outcome outcome = waitIbfClear(timer, &status);
  if (outcome != Outcome::ok) return outcome;
  if ((status & kStatusStateHigh) == 0) return Outcome::badState;
  return discardDummyByte();
}

Outcome writeMessage(platform::Timer timer, const uint8_t* message, int length) {
  uint8_t status = 0;
  Outcome outcome = waitIbfClear(timer, &status);
  if (outcome == Outcome::ok) outcome = discardDummyByte();
  if (outcome != Outcome::ok) return outcome;

  platform::portWrite(commandPort(), kWriteStart);
  outcome = acknowledgeWrite(timer);
  for (int i = 0; outcome == Outcome::ok && i < length - 1; ++i) {
    platform::portWrite(dataPort(), message[i]);
    outcome = acknowledgeWrite(timer);
  }
  if (outcome != Outcome::ok) return outcome;

  platform::portWrite(commandPort(), kWriteEnd);
  outcome = acknowledgeWrite(timer);
  if (outcome != Outcome::ok) return outcome;
  platform::portWrite(dataPort(), message[length - 1]);
  return Outcome::ok;
}

// Takes reply bytes until the BMC turns idle. Bytes beyond the buffer are
// taken and dropped so that the interface still ends idle; *count then
// says so by exceeding the buffer size.
Outcome readReply(platform::Timer timer, uint8_t* buffer, int* count) {
  *count = 0;
  uint8_t status = 0;
  for (;;) {
    Outcome outcome = waitIbfClear(timer, &status);
    if (outcome != Outcome::ok) return outcome;
    status = readStatus();
    if ((status & kStatusStateLow) == 0) break;
    outcome = waitObfSet(timer, &status);
    if (outcome != Outcome::ok) return outcome;
    const uint8_t byte = platform::portRead(dataPort());
    if (*count < kKcsResponseBufferSize) buffer[*count] = byte;
    if (*count <= kKcsResponseBufferSize) ++*count;
    platform::portWrite(dataPort(), kReadCode);
  }
  if ((status & kStatusStateHigh) != 0) return Outcome::badState;
  Outcome outcome = waitObfSet(timer, &status);
  if (outcome != Outcome::ok) return outcome;
  (void)platform::portRead(dataPort());
  return Outcome::ok;
}

int failWith(Outcome outcome) {
  if (outcome == Outcome::badState) platform::print("%s", kStateError);
  return -1;
}

// The write phase with its own timer. Returns -1 after a failure.
int sendRequest(const uint8_t* message, int length) {
  platform::Timer timer = nullptr;
  if (platform::timerCreate(&timer) != 0) return -1;
  const Outcome outcome = writeMessage(timer, message, length);
  platform::timerClose(timer);
  return outcome == Outcome::ok ? 0 : failWith(outcome);
}

// The read phase with its own timer. Returns the number of bytes the BMC
// sent (more than the buffer holds when it overran), or -1.
int receiveReply(uint8_t* buffer) {
  platform::Timer timer = nullptr;
  if (platform::timerCreate(&timer) != 0) return -1;
  int count = 0;
  const Outcome outcome = readReply(timer, buffer, &count);
  platform::timerClose(timer);
  return outcome == Outcome::ok ? count : failWith(outcome);
}

}  // namespace

int kcsTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  if (dataLength < 0 || dataLength > kKcsMaxRequestData) return -1;

  uint8_t message[kMessageBufferSize] = {};
  uint8_t reply[kKcsResponseBufferSize] = {};
  message[0] = netFnLun;
  message[1] = command;
  if (dataLength > 0) text::copyBytes(message + 2, data, static_cast<size_t>(dataLength));

  if (sendRequest(message, dataLength + 2) != 0) return -1;

  const int count = receiveReply(reply);
  if (count < kResponseHeaderSize || count > kKcsResponseBufferSize) {
    // No completion code, or more than the buffer holds: nothing usable.
    *responseLength = -1;
    return -1;
  }
  const int32_t dataCount = count - kResponseHeaderSize;
  *responseLength = dataCount;
  const int32_t copied = dataCount < responseCapacity ? dataCount : responseCapacity;
  if (copied > 0) text::copyBytes(response, reply + kResponseHeaderSize, static_cast<size_t>(copied));
  return reply[2];
}

int kcsClose() { return 0; }
