// The BMC side of the IPMI KCS system interface at register level: status,
// command and data registers on two I/O ports, driven by the host through
// the host platform's port bus. Whole requests go to an Endpoint (the
// in-process Bmc or an external one) and whole replies come back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bmc.h"
#include "platform/host/host.h"

namespace sim {

constexpr uint16_t kDefaultDataPort = 0xCA2;
constexpr uint16_t kDefaultCommandPort = 0xCA3;

// Status register bits.
constexpr uint8_t kKcsObf = 0x01;
constexpr uint8_t kKcsIbf = 0x02;
// The two state bits as a field.
constexpr uint8_t kKcsStateIdle = 0x00;
constexpr uint8_t kKcsStateRead = 0x40;
constexpr uint8_t kKcsStateWrite = 0x80;
constexpr uint8_t kKcsStateError = 0xC0;

// Control codes.
constexpr uint8_t kKcsGetStatusAbort = 0x60;
constexpr uint8_t kKcsWriteStart = 0x61;
constexpr uint8_t kKcsWriteEnd = 0x62;
constexpr uint8_t kKcsRead = 0x68;

// The byte the device places in the data register after a write.
constexpr uint8_t kKcsDummyByte = 0x00;

// Status bytes that the error state offers after an abort: aborted by the
// host, or entered through a code or byte out of place.
constexpr uint8_t kKcsErrorAborted = 0x01;
constexpr uint8_t kKcsErrorIllegalCode = 0x02;

// Where an earlier user of the interface may have left it.
enum class KcsLeftover {
  errorState,         // a lone GET_STATUS/ABORT: error state, OBF set
  midWrite,           // WRITE_START and one byte, the dummy byte unread
  midReadWithObf,     // a reply byte offered and not read
  midReadWithoutObf,  // a reply byte read but no READ code written
};

struct PortAccess {
  enum Kind : uint8_t { statusRead, dataRead, dataWrite, commandWrite };
  Kind kind;
  uint8_t value;  // the byte read or written
  bool operator==(const PortAccess&) const = default;
};

class KcsDevice : public hostplatform::PortDevice {
 public:
  explicit KcsDevice(Endpoint* endpoint, uint16_t dataPort = kDefaultDataPort,
                     uint16_t commandPort = kDefaultCommandPort);

  void setEndpoint(Endpoint* endpoint) { endpoint_ = endpoint; }
  // The status register shares the command port's address.
  void bindPorts(uint16_t dataPort, uint16_t commandPort);

  uint8_t in(uint16_t port) override;
  void out(uint16_t port, uint8_t value) override;

  // Puts the interface back to idle with empty registers (a BMC reset);
  // knobs, counters and records are kept.
  void resetInterface();
  // Leaves the interface as an earlier program or an interrupted run would
  // have left it, without counting or recording anything.
  void leaveInterface(KcsLeftover where);

  struct Counts {
    uint64_t statusReads = 0;
    uint64_t dataReads = 0;
    uint64_t dataWrites = 0;
    uint64_t commandWrites = 0;
    uint64_t strayAccesses = 0;  // ports the device is not bound to
    uint64_t total() const {
      return statusReads + dataReads + dataWrites + commandWrites;
    }
  } counts;
  // WRITE_START codes seen: the number of transfers the host began.
  int transfersStarted = 0;
  // Protocol violations by the host, one line each.
  std::vector<std::string> hostErrors;
  // Every access in order, when enabled (off by default: long runs).
  bool traceEnabled = false;
  std::vector<PortAccess> trace;

  // Fault knobs, all off by default. A "write index" counts the host's
  // writes to either port since WRITE_START, which is write 0: for an
  // n-byte message, writes 1..n-1 are the first n-1 bytes, write n is
  // WRITE_END, write n+1 the last byte and the READ codes follow.
  struct Faults {
    // The per-write and per-reply-byte knobs below apply only to this
    // transfer (0 = the first WRITE_START seen); -1 applies them to all.
    int onlyTransfer = -1;
    // IBF is set from the start and never clears.
    bool ibfAlwaysSet = false;
    // IBF never clears after this write.
    int ibfStuckAtWrite = -1;
    // The dummy byte that answers this write stays: OBF remains set after
    // the host reads it.
    int obfStuckAtWrite = -1;
    // After this write the state bits show idle instead of the write state.
    int wrongStateAtWrite = -1;
    // Where reply byte k (or the end of the reply, k = reply length) would
    // be offered, the state bits show bit 7 without bit 6 instead.
    int errorStateAtReplyByte = -1;
    // Status reads that still show IBF set after every write.
    int ibfBusyReads = 0;
    // When the endpoint gives no answer, IBF stays set; this long later (in
    // virtual microseconds) the interface drops the request and goes idle.
    // -1: it never does.
    int64_t silentRecoveryMicros = -1;
    // The reply never ends: the read state offers byte after byte.
    bool endlessReply = false;
    // The interface stays in the error state whatever the host writes.
    bool stuckInError = false;
  } faults;

  // An endless reply read this far is given up, with a host error.
  static constexpr size_t kEndlessReplyGiveUp = 10000;

 private:
  enum class Phase { idle, writing, lastByteNext, awaitingReply, reading, error, errorStatus };

  uint8_t readStatus();
  uint8_t readData();
  bool ibfSet() const;
  void takePendingWrite();
  void recoverFromSilence();
  void acceptWrite(bool commandPort, uint8_t value);
  void process(bool commandPort, uint8_t value);
  void processCommand(uint8_t code);
  void processData(uint8_t value);
  void processErrorData(uint8_t value);
  void enterError(uint8_t statusByte);
  void finishRequest();
  void offerReplyByte();
  void offerDummy();
  void hostError(const std::string& what);
  bool faultApplies() const;
  void record(PortAccess::Kind kind, uint8_t value);

  Endpoint* endpoint_;
  uint16_t dataPort_;
  uint16_t commandPort_;

  Phase phase_ = Phase::idle;
  uint8_t state_ = kKcsStateIdle;
  bool obf_ = false;
  uint8_t dataOut_ = kKcsDummyByte;
  bool obfSticky_ = false;
  bool stateShowsIdle_ = false;

  // A write the BMC has not taken yet (IBF set).
  struct PendingWrite {
    bool commandPort;
    uint8_t value;
    int busyReadsLeft;
    bool stuck;
  };
  std::optional<PendingWrite> pending_;

  int writeIndex_ = 0;
  Bytes message_;
  Bytes reply_;
  size_t replyPosition_ = 0;
  uint8_t errorStatus_ = 0;
  uint64_t awaitingSince_ = 0;
};

}  // namespace sim
