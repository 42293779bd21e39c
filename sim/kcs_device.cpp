#include "kcs_device.h"

#include <cstdio>

namespace sim {

namespace {

std::string hexByte(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

KcsDevice::KcsDevice(Endpoint* endpoint, uint16_t dataPort, uint16_t commandPort)
    : endpoint_(endpoint), dataPort_(dataPort), commandPort_(commandPort) {}

void KcsDevice::bindPorts(uint16_t dataPort, uint16_t commandPort) {
  dataPort_ = dataPort;
  commandPort_ = commandPort;
}

uint8_t KcsDevice::in(uint16_t port) {
  if (port == commandPort_) return readStatus();
  if (port == dataPort_) return readData();
  ++counts.strayAccesses;
  return 0xFF;
}

void KcsDevice::out(uint16_t port, uint8_t value) {
  if (port == commandPort_) {
    ++counts.commandWrites;
    record(PortAccess::commandWrite, value);
    acceptWrite(true, value);
  } else if (port == dataPort_) {
    ++counts.dataWrites;
    record(PortAccess::dataWrite, value);
    acceptWrite(false, value);
  } else {
    ++counts.strayAccesses;
  }
}

void KcsDevice::resetInterface() {
  phase_ = Phase::idle;
  state_ = kKcsStateIdle;
  obf_ = false;
  obfSticky_ = false;
  stateShowsIdle_ = false;
  dataOut_ = kKcsDummyByte;
  pending_.reset();
  message_.clear();
  reply_.clear();
  replyPosition_ = 0;
  errorStatus_ = 0;
}

void KcsDevice::leaveInterface(KcsLeftover where) {
  resetInterface();
  switch (where) {
    case KcsLeftover::errorState:
      processCommand(kKcsGetStatusAbort);
      return;
    case KcsLeftover::midWrite:
      processCommand(kKcsWriteStart);
      processData(0xF8);
      return;
    case KcsLeftover::midReadWithObf:
    case KcsLeftover::midReadWithoutObf:
      phase_ = Phase::reading;
      reply_ = {0x1C, 0x01, 0x00, 0x20};
      replyPosition_ = 1;
      offerReplyByte();
      obf_ = where == KcsLeftover::midReadWithObf;
      return;
  }
}

bool KcsDevice::ibfSet() const {
  return faults.ibfAlwaysSet || pending_.has_value() || phase_ == Phase::awaitingReply;
}

uint8_t KcsDevice::readStatus() {
  ++counts.statusReads;
  if (pending_ && !pending_->stuck) {
    if (pending_->busyReadsLeft == 0) {
      takePendingWrite();
    } else {
      --pending_->busyReadsLeft;
    }
  }
  recoverFromSilence();
  const uint8_t stateBits = stateShowsIdle_ ? kKcsStateIdle : state_;
  const uint8_t status = static_cast<uint8_t>(stateBits | (ibfSet() ? kKcsIbf : 0) |
                                              (obf_ ? kKcsObf : 0));
  record(PortAccess::statusRead, status);
  return status;
}

uint8_t KcsDevice::readData() {
  ++counts.dataReads;
  if (!obfSticky_) obf_ = false;
  record(PortAccess::dataRead, dataOut_);
  return dataOut_;
}

void KcsDevice::recoverFromSilence() {
  if (phase_ != Phase::awaitingReply || faults.silentRecoveryMicros < 0) return;
  if (hostplatform::nowMicros() - awaitingSince_ >=
      static_cast<uint64_t>(faults.silentRecoveryMicros)) {
    resetInterface();
  }
}

void KcsDevice::acceptWrite(bool commandPort, uint8_t value) {
  if (ibfSet()) {
    // The BMC has not taken the previous byte; like real hardware the
    // device drops this one.
    hostError("write of " + hexByte(value) + " while IBF is set");
    return;
  }
  if (commandPort && value == kKcsWriteStart) {
    ++transfersStarted;
    writeIndex_ = 0;
  } else {
    ++writeIndex_;
  }
  const bool stuck = faultApplies() && writeIndex_ == faults.ibfStuckAtWrite;
  pending_ = PendingWrite{commandPort, value, faults.ibfBusyReads, stuck};
  if (!stuck && faults.ibfBusyReads == 0) takePendingWrite();
}

void KcsDevice::takePendingWrite() {
  const PendingWrite write = *pending_;
  pending_.reset();
  process(write.commandPort, write.value);
}

void KcsDevice::process(bool commandPort, uint8_t value) {
  stateShowsIdle_ = false;
  if (commandPort) {
    processCommand(value);
  } else {
    processData(value);
  }
  if (faultApplies() && writeIndex_ == faults.wrongStateAtWrite) stateShowsIdle_ = true;
}

void KcsDevice::processCommand(uint8_t code) {
  if (code == kKcsGetStatusAbort) {
    // Whatever was under way is dropped; the data register keeps a stale
    // byte with OBF set. In the error state the code changes nothing.
    if (phase_ != Phase::error) {
      enterError(kKcsErrorAborted);
      obf_ = true;
    }
    return;
  }
  const bool mayStart = phase_ == Phase::idle || phase_ == Phase::writing ||
                        phase_ == Phase::lastByteNext;
  if (code == kKcsWriteStart && mayStart) {
    phase_ = Phase::writing;
    state_ = kKcsStateWrite;
    message_.clear();
    offerDummy();
  } else if (code == kKcsWriteEnd && phase_ == Phase::writing) {
    phase_ = Phase::lastByteNext;
    offerDummy();
  } else {
    hostError("control code " + hexByte(code) + " out of place");
    enterError(kKcsErrorIllegalCode);
  }
}

void KcsDevice::processData(uint8_t value) {
  switch (phase_) {
    case Phase::writing:
      message_.push_back(value);
      offerDummy();
      return;
    case Phase::lastByteNext:
      message_.push_back(value);
      finishRequest();
      return;
    case Phase::reading:
      if (value == kKcsRead) {
        ++replyPosition_;
        offerReplyByte();
        return;
      }
      break;
    case Phase::error:
      processErrorData(value);
      return;
    case Phase::errorStatus:
      if (value == kKcsRead) {
        phase_ = Phase::idle;
        state_ = kKcsStateIdle;
        offerDummy();
        return;
      }
      break;
    case Phase::idle:
    case Phase::awaitingReply:
      break;
  }
  hostError("data write of " + hexByte(value) + " out of place");
  enterError(kKcsErrorIllegalCode);
}

// In the error state a 0x00 data byte asks for the status byte, which the
// read state then offers.
void KcsDevice::processErrorData(uint8_t value) {
  if (faults.stuckInError) return;
  if (value != 0x00) {
    hostError("data write of " + hexByte(value) + " in the error state");
    return;
  }
  phase_ = Phase::errorStatus;
  state_ = kKcsStateRead;
  dataOut_ = errorStatus_;
  obf_ = true;
  obfSticky_ = false;
}

void KcsDevice::enterError(uint8_t statusByte) {
  phase_ = Phase::error;
  state_ = kKcsStateError;
  errorStatus_ = statusByte;
  message_.clear();
  reply_.clear();
  replyPosition_ = 0;
}

void KcsDevice::finishRequest() {
  std::optional<Bytes> reply;
  if (endpoint_ != nullptr) reply = endpoint_->exchange(message_);
  if (!reply) {
    phase_ = Phase::awaitingReply;
    awaitingSince_ = hostplatform::nowMicros();
    return;
  }
  reply_ = *reply;
  replyPosition_ = 0;
  phase_ = Phase::reading;
  offerReplyByte();
}

void KcsDevice::offerReplyByte() {
  if (faultApplies() && static_cast<int>(replyPosition_) == faults.errorStateAtReplyByte) {
    phase_ = Phase::idle;
    state_ = kKcsStateWrite;
    return;
  }
  const bool endless = faults.endlessReply && faultApplies();
  if (endless && replyPosition_ >= kEndlessReplyGiveUp) {
    hostError("an endless reply read " + std::to_string(replyPosition_) + " bytes deep");
  } else if (endless || replyPosition_ < reply_.size()) {
    state_ = kKcsStateRead;
    dataOut_ = endless ? static_cast<uint8_t>(replyPosition_) : reply_[replyPosition_];
    obf_ = true;
    obfSticky_ = false;
    return;
  }
  // The idle state and one last dummy byte end the reply.
  phase_ = Phase::idle;
  state_ = kKcsStateIdle;
  offerDummy();
}

void KcsDevice::offerDummy() {
  dataOut_ = kKcsDummyByte;
  obf_ = true;
  obfSticky_ = faultApplies() && writeIndex_ == faults.obfStuckAtWrite;
}

void KcsDevice::hostError(const std::string& what) { hostErrors.push_back(what); }

bool KcsDevice::faultApplies() const {
  return faults.onlyTransfer < 0 || transfersStarted - 1 == faults.onlyTransfer;
}

void KcsDevice::record(PortAccess::Kind kind, uint8_t value) {
  if (traceEnabled) trace.push_back(PortAccess{kind, value});
}

}  // namespace sim
