#include "transport/request.h"

#include "platform/platform.h"
#include "state/tool_context.h"

namespace request {

uint32_t triesBoundSeconds(uint64_t tries, uint64_t pauseSeconds) {
  const uint64_t bound = tries * (toolContext.transferBoundSeconds + pauseSeconds);
  return bound < UINT32_MAX ? static_cast<uint32_t>(bound) : UINT32_MAX;
}

Retrying::Retrying(const RetryPolicy& policy)
    : Retrying(policy, platform::monotonicMicroseconds()) {}

Retrying::Retrying(const RetryPolicy& policy, uint64_t startMicros)
    : policy_(policy), startMicros_(startMicros) {
  if (policy_.notice == Notice::kWholeWait && !toolContext.silence.active()) {
    toolContext.silence.begin(policy_.boundSeconds);
    ownNotice_ = true;
  }
}

uint64_t Retrying::elapsedSeconds() const {
  return (platform::monotonicMicroseconds() - startMicros_) / 1000000u;
}

bool Retrying::boundPassed() const {
  return policy_.attempts == 0 && elapsedSeconds() >= policy_.boundSeconds;
}

// The tries left with their pauses; past a time bound, the last try starts
// within one pause after it and takes one transfer.
uint32_t Retrying::noticeBoundSeconds() const {
  const uint64_t pauseSeconds = policy_.pauseMicros / 1000000u;
  if (policy_.attempts != 0) return triesBoundSeconds(policy_.attempts - tries_, pauseSeconds);
  const uint64_t spent = elapsedSeconds();
  const uint64_t left = spent < policy_.boundSeconds ? policy_.boundSeconds - spent : 0;
  return static_cast<uint32_t>(left + pauseSeconds) + toolContext.transferBoundSeconds;
}

void Retrying::beforeTry() {
  if (policy_.notice != Notice::kWhileSilent || toolContext.silence.active()) return;
  toolContext.silence.begin(noticeBoundSeconds());
  ownNotice_ = true;
}

bool Retrying::afterTry(bool answered, bool wanted) {
  ++tries_;
  const bool another = wanted && (policy_.attempts != 0 ? tries_ < policy_.attempts : !boundPassed());
  // An answer of any kind ends a silence, so the notice only ever counts
  // time in which the BMC said nothing.
  if (answered && policy_.notice == Notice::kWhileSilent) {
    finish();
  } else if (!answered && another && policy_.notice != Notice::kNone) {
    toolContext.silence.check();
  }
  return another;
}

void Retrying::pause() {
  uint64_t micros = policy_.pauseMicros;
  if (policy_.pauseWithinBound && policy_.attempts == 0) {
    const uint64_t spent = elapsedSeconds();
    const uint64_t left = spent < policy_.boundSeconds ? policy_.boundSeconds - spent : 0;
    if (left * 1000000u < micros) micros = left * 1000000u;
  }
  if (micros != 0) platform::stall(micros);
}

void Retrying::finish() {
  if (ownNotice_) toolContext.silence.end();
  ownNotice_ = false;
}

}  // namespace request
