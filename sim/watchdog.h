// The BMC's watchdog timer (Set, Reset and Get Watchdog Timer). It counts
// down on the clock it is given; when it runs out it stops and sets the
// expiration flag of its timer use. No action is taken on the host: the
// simulated machine has no power to cut.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "sim/bmc.h"

namespace sim {

class Watchdog {
 public:
  // Installs the three handlers into `bmc`; `nowMicros` drives the count.
  Watchdog(Bmc& bmc, std::function<uint64_t()> nowMicros);

  bool running() const;

 private:
  std::optional<Reply> set(const Request& request);
  std::optional<Reply> reset(const Request& request);
  std::optional<Reply> get(const Request& request);
  // Present countdown in 100 ms units; stops the timer when it ran out.
  uint16_t countdown();

  std::function<uint64_t()> now_;
  bool initialised_ = false;
  bool running_ = false;
  uint8_t timerUse_ = 0;
  uint8_t actions_ = 0;
  uint8_t preTimeout_ = 0;
  uint8_t expirationFlags_ = 0;
  uint16_t initialCountdown_ = 0;
  uint64_t startedMicros_ = 0;
};

}  // namespace sim
