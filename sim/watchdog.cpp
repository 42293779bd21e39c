#include "sim/watchdog.h"

#include <utility>

#include "transport/ipmi_wire.h"

namespace sim {

namespace {

constexpr uint8_t kCodeUninitialised = 0x80;  // Reset before any Set

constexpr uint8_t kTimerUseMask = 0x07;
constexpr uint8_t kDontStop = 0x40;      // Set: keep a running timer running
constexpr uint8_t kTimerRunning = 0x40;  // Get: the timer is counting
constexpr uint8_t kDontLog = 0x80;
constexpr uint64_t kMicrosPerTick = 100'000;

}  // namespace

Watchdog::Watchdog(Bmc& bmc, std::function<uint64_t()> nowMicros) : now_(std::move(nowMicros)) {
  bmc.setHandler(kNetFnLunApp, kCmdSetWatchdog, [this](const Request& r) { return set(r); });
  bmc.setHandler(kNetFnLunApp, kCmdResetWatchdog, [this](const Request& r) { return reset(r); });
  bmc.setHandler(kNetFnLunApp, kCmdGetWatchdog, [this](const Request& r) { return get(r); });
}

bool Watchdog::running() const { return running_; }

uint16_t Watchdog::countdown() {
  if (!running_) return initialCountdown_;
  const uint64_t ticks = (now_() - startedMicros_) / kMicrosPerTick;
  if (ticks < initialCountdown_) return static_cast<uint16_t>(initialCountdown_ - ticks);
  running_ = false;
  expirationFlags_ |= static_cast<uint8_t>(1u << (timerUse_ & kTimerUseMask));
  return 0;
}

std::optional<Reply> Watchdog::set(const Request& request) {
  const Bytes& data = request.data;
  if (data.size() != 6) return Reply{kCompletionInvalidLength, {}};
  const uint8_t use = data[0] & kTimerUseMask;
  const uint8_t action = data[1] & 0x07;
  const uint8_t interrupt = data[1] >> 4 & 0x07;
  // Timer uses 1 to 5 exist; actions 0 to 3; pre-timeout interrupts 0 to 3.
  if (use == 0 || use > 5 || action > 3 || interrupt > 3 || (data[0] & 0x38) != 0) {
    return Reply{kCodeInvalidField, {}};
  }
  const bool keepRunning = (data[0] & kDontStop) != 0 && running_;
  countdown();  // an expiry that already happened is recorded first
  timerUse_ = data[0] & (kTimerUseMask | kDontLog);
  actions_ = data[1];
  preTimeout_ = data[2];
  expirationFlags_ &= static_cast<uint8_t>(~data[3]);
  initialCountdown_ = static_cast<uint16_t>(data[4] | data[5] << 8);
  initialised_ = true;
  running_ = keepRunning;
  if (running_) startedMicros_ = now_();
  return Reply{kCompletionOk, {}};
}

std::optional<Reply> Watchdog::reset(const Request& request) {
  if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
  if (!initialised_) return Reply{kCodeUninitialised, {}};
  running_ = true;
  startedMicros_ = now_();
  return Reply{kCompletionOk, {}};
}

std::optional<Reply> Watchdog::get(const Request& request) {
  if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
  const uint16_t present = countdown();
  return Reply{kCompletionOk,
               {static_cast<uint8_t>(timerUse_ | (running_ ? kTimerRunning : 0)), actions_,
                preTimeout_, expirationFlags_, static_cast<uint8_t>(initialCountdown_),
                static_cast<uint8_t>(initialCountdown_ >> 8), static_cast<uint8_t>(present),
                static_cast<uint8_t>(present >> 8)}};
}

}  // namespace sim
