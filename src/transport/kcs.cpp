// The KCS transfer: a write phase that hands the request to the BMC byte by
// byte and a read phase that takes the reply, every wait bounded by a
// 10-second one-shot timer once a burst of plain status reads has not ended
// it. An interface found in the error state or left in the middle of an
// earlier transfer is taken back to idle with the interface's own abort
// sequence, at most once per transfer. A reply is taken only when it names
// the request's network function (+ 1), LUN and command.
#include "transport/kcs.h"

#include "state/tool_context.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/request.h"

// The flows plan their messages for any transport; this one carries them.
static_assert(kKcsMaxRequestData >= request::kMaxRequestData &&
              kKcsMaxResponseData >= request::kMaxResponseData);

namespace {

constexpr uint8_t kStatusObf = 0x01;
constexpr uint8_t kStatusIbf = 0x02;
constexpr uint8_t kStatusStateLow = 0x40;
constexpr uint8_t kStatusStateHigh = 0x80;
constexpr uint8_t kStatusStateBits = kStatusStateLow | kStatusStateHigh;
constexpr uint8_t kStateIdle = 0x00;
constexpr uint8_t kStateRead = kStatusStateLow;

constexpr uint8_t kGetStatusAbort = 0x60;
constexpr uint8_t kWriteStart = 0x61;
constexpr uint8_t kWriteEnd = 0x62;
constexpr uint8_t kReadCode = 0x68;
constexpr uint8_t kAbortDataByte = 0x00;

constexpr uint64_t kWaitUnits = 10 * platform::kTimerUnitsPerSecond;
constexpr int kMessageBufferSize = kKcsMaxRequestData + 2;
constexpr int kResponseHeaderSize = 3;

constexpr const char* kStateError = "ERROR !! BMC did not in correct state\n";
constexpr const char* kForeignReply =
    "ERROR !! BMC answered another request (netFn/LUN 0x%02x, command 0x%02x)\n";

enum class Outcome {
  ok,
  badState,     // a wait timed out or a status check failed: print the line
  timerFailed,  // no timer: fail without a message
  overlong,     // the reply outgrew the buffer: fail without a message
};

uint16_t commandPort() { return static_cast<uint16_t>(toolContext.commandPort); }
uint16_t dataPort() { return static_cast<uint16_t>(toolContext.dataPort); }
uint8_t readStatus() { return platform::portRead(static_cast<uint16_t>(toolContext.statusPort)); }

// One exchange over the interface, with the interface's wait timer: made by
// the first wait that outlasts its plain status reads, kept until the
// interface closes, so that the usual exchange makes no firmware timer call.
class KcsExchange {
 public:
  explicit KcsExchange(platform::Timer& timer) : timer_(timer) {}

  bool armWaitTimer() {
    if (timer_ == nullptr && platform::timerCreate(&timer_) != 0) {
      timer_ = nullptr;
      return false;
    }
    return platform::timerArm(timer_, kWaitUnits) == 0;
  }

  // Polls the status until (status & mask) == wanted, for at most 10 seconds
  // after the first kKcsPollsBeforeTimer reads. Those reads go without the
  // timer: a BMC that answers within them (nearly every wait) costs no
  // firmware call, and they add at most a few milliseconds to the bound.
  // Arming drops any earlier firing, so every wait gets its full 10 seconds.
  Outcome waitForStatus(uint8_t mask, uint8_t wanted, uint8_t* status) {
    for (int poll = 0; poll < kKcsPollsBeforeTimer; ++poll) {
      *status = readStatus();
      if ((*status & mask) == wanted) return Outcome::ok;
    }
    if (!armWaitTimer()) return Outcome::timerFailed;
    while (!platform::timerFired(timer_)) {
      *status = readStatus();
      if ((*status & mask) == wanted) {
        platform::timerCancel(timer_);
        return Outcome::ok;
      }
    }
    platform::timerCancel(timer_);
    return Outcome::badState;
  }

  Outcome waitIbfClear(uint8_t* status) { return waitForStatus(kStatusIbf, 0, status); }

  Outcome waitObfSet(uint8_t* status) { return waitForStatus(kStatusObf, kStatusObf, status); }

  // Reads the byte the BMC left in the data register and checks that OBF
  // went clear with it.
  Outcome discardDummyByte() {
    (void)platform::portRead(dataPort());
    return (readStatus() & kStatusObf) == 0 ? Outcome::ok : Outcome::badState;
  }

  // Waits until the BMC has taken the last write and, in the expected state,
  // offers a byte; reads and drops it.
  Outcome takeByteInState(uint8_t expectedState) {
    uint8_t status = 0;
    Outcome outcome = waitIbfClear(&status);
    if (outcome != Outcome::ok) return outcome;
    if ((status & kStatusStateBits) != expectedState) return Outcome::badState;
    outcome = waitObfSet(&status);
    if (outcome != Outcome::ok) return outcome;
    (void)platform::portRead(dataPort());
    return Outcome::ok;
  }

  // GET_STATUS/ABORT: the BMC drops whatever it was doing and enters the
  // error state; a 0x00 data byte then brings the read state with the error
  // status byte, and READ ends in idle with a dummy byte. IBF must be clear:
  // the interface ignores writes while it is set.
  Outcome abortToIdle() {
    uint8_t status = 0;
    platform::portWrite(commandPort(), kGetStatusAbort);
    Outcome outcome = waitIbfClear(&status);
    if (outcome != Outcome::ok) return outcome;
    (void)platform::portRead(dataPort());
    platform::portWrite(dataPort(), kAbortDataByte);
    outcome = takeByteInState(kStateRead);
    if (outcome != Outcome::ok) return outcome;
    platform::portWrite(dataPort(), kReadCode);
    return takeByteInState(kStateIdle);
  }

  // What follows every write but the last in the write phase: the BMC takes
  // the byte, stays in the write state and leaves a dummy byte.
  Outcome acknowledgeWrite() {
    uint8_t status = 0;
    Outcome outcome = waitIbfClear(&status);
    if (outcome != Outcome::ok) return outcome;
    if ((status & kStatusStateHigh) == 0) return Outcome::badState;
    return discardDummyByte();
  }

  // The interface must be idle before WRITE_START; anything else (an error,
  // a transfer someone abandoned) is aborted first.
  Outcome prepareInterface(bool* aborted) {
    uint8_t status = 0;
    Outcome outcome = waitIbfClear(&status);
    if (outcome == Outcome::ok && (status & kStatusStateBits) != kStateIdle) {
      *aborted = true;
      outcome = abortToIdle();
    }
    return outcome == Outcome::ok ? discardDummyByte() : outcome;
  }

  Outcome writeMessage(const uint8_t* message, int length, bool* aborted) {
    Outcome outcome = prepareInterface(aborted);
    if (outcome != Outcome::ok) return outcome;

    platform::portWrite(commandPort(), kWriteStart);
    outcome = acknowledgeWrite();
    for (int i = 0; outcome == Outcome::ok && i < length - 1; ++i) {
      platform::portWrite(dataPort(), message[i]);
      outcome = acknowledgeWrite();
    }
    if (outcome != Outcome::ok) return outcome;

    platform::portWrite(commandPort(), kWriteEnd);
    outcome = acknowledgeWrite();
    if (outcome != Outcome::ok) return outcome;
    platform::portWrite(dataPort(), message[length - 1]);
    return Outcome::ok;
  }

  // Takes reply bytes until the BMC turns idle. A reply that would outgrow
  // the buffer fails at once instead of being read to its end: a BMC that
  // never stops must not hold the program.
  Outcome readReply(uint8_t* buffer, int* count) {
    *count = 0;
    uint8_t status = 0;
    for (;;) {
      Outcome outcome = waitIbfClear(&status);
      if (outcome != Outcome::ok) return outcome;
      status = readStatus();
      if ((status & kStatusStateLow) == 0) break;
      if (*count == kKcsResponseBufferSize) return Outcome::overlong;
      outcome = waitObfSet(&status);
      if (outcome != Outcome::ok) return outcome;
      buffer[(*count)++] = platform::portRead(dataPort());
      platform::portWrite(dataPort(), kReadCode);
    }
    if ((status & kStatusStateHigh) != 0) return Outcome::badState;
    Outcome outcome = waitObfSet(&status);
    if (outcome != Outcome::ok) return outcome;
    (void)platform::portRead(dataPort());
    return Outcome::ok;
  }

  // After the error line, a request that has gone unanswered for 10 seconds
  // (a wait whose timer fired, or tries before this one) says so once.
  int failWith(Outcome outcome) {
    if (outcome == Outcome::badState) platform::print("%s", kStateError);
    toolContext.silence.check();
    return -1;
  }

  // A failed read phase leaves the BMC mid-reply or in error: abort so that
  // the next transfer finds it idle. Not while IBF is set (the write would be
  // ignored); the next transfer's first wait deals with that.
  void recoverAfterFailedReply() {
    if ((readStatus() & kStatusIbf) == 0) (void)abortToIdle();
  }

  // Returns the number of bytes the BMC sent, or -1.
  int receiveReply(uint8_t* buffer, bool aborted) {
    int count = 0;
    const Outcome outcome = readReply(buffer, &count);
    if (outcome == Outcome::ok) return count;
    failWith(outcome);
    if (!aborted) recoverAfterFailedReply();
    return -1;
  }

 private:
  platform::Timer& timer_;
};

// The machine's one KCS interface: its state is the wait timer.
struct KcsInterface {
  platform::Timer waitTimer;
};
constinit KcsInterface gMachineKcs = {nullptr};

int transferThrough(KcsInterface& kcs, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                    int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                    int32_t* responseLength) {
  if (dataLength < 0 || dataLength > kKcsMaxRequestData) return -1;

  uint8_t message[kMessageBufferSize] = {};
  uint8_t reply[kKcsResponseBufferSize] = {};
  message[0] = netFnLun;
  message[1] = command;
  if (dataLength > 0) text::copyBytes(message + 2, data, static_cast<size_t>(dataLength));

  KcsExchange exchange(kcs.waitTimer);
  bool aborted = false;
  const Outcome written = exchange.writeMessage(message, dataLength + 2, &aborted);
  if (written != Outcome::ok) return exchange.failWith(written);

  const int count = exchange.receiveReply(reply, aborted);
  if (count < kResponseHeaderSize) {
    // A failed read phase, or no completion code: nothing usable.
    *responseLength = -1;
    return -1;
  }
  if (!replyMatches(netFnLun, command, reply[0], reply[1])) {
    *responseLength = -1;
    return failForeignReply(reply[0], reply[1]);
  }
  const int32_t dataCount = count - kResponseHeaderSize;
  *responseLength = dataCount;
  const int32_t copied = dataCount < responseCapacity ? dataCount : responseCapacity;
  if (copied > 0) text::copyBytes(response, reply + kResponseHeaderSize, static_cast<size_t>(copied));
  return reply[2];
}

int closeInterface(KcsInterface& kcs) {
  if (kcs.waitTimer != nullptr) platform::timerClose(kcs.waitTimer);
  kcs.waitTimer = nullptr;
  return 0;
}

KcsInterface& interfaceOf(void* self) { return *static_cast<KcsInterface*>(self); }

int openOp(void*) { return kcsOpen(); }

int exchangeOp(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
               int32_t dataLength, uint8_t* response, int32_t responseCapacity,
               int32_t* responseLength) {
  return transferThrough(interfaceOf(self), netFnLun, command, data, dataLength, response,
                         responseCapacity, responseLength);
}

int closeOp(void* self) { return closeInterface(interfaceOf(self)); }

// The ports name the BMC once kcs.cfg (or the default) has set them.
int nameOp(void*, char* name, size_t capacity) {
  if (toolContext.commandPort > 0xFFFF || toolContext.dataPort > 0xFFFF) return -1;
  platform::formatText(name, capacity, "kcs-%04x-%04x", static_cast<unsigned>(toolContext.commandPort),
                       static_cast<unsigned>(toolContext.dataPort));
  return 0;
}

constexpr TransportMethods kKcsOps = {openOp, exchangeOp, closeOp, nameOp};

}  // namespace

TransportOps kcsTransport() {
  return TransportOps{&kKcsOps, &gMachineKcs, kKcsMaxRequestData, kKcsMaxResponseData};
}

int kcsTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  return transferThrough(gMachineKcs, netFnLun, command, data, dataLength, response,
                         responseCapacity, responseLength);
}

int failForeignReply(uint8_t replyNetFn, uint8_t replyCommand) {
  platform::print(kForeignReply, static_cast<unsigned>(replyNetFn),
                  static_cast<unsigned>(replyCommand));
  toolContext.silence.check();
  return -1;
}

int kcsClose() { return closeInterface(gMachineKcs); }
