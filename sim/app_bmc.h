// The standard requests of the simulated BMC: Get Device ID with a firmware
// revision, the requests an operating system's IPMI driver sends when it
// loads, and the other commands every BMC on a system interface has (self
// test, watchdog, messages, chassis, events, SEL, SDR, FRU). It also plays the BMC's reboot: after a completed
// firmware update or an accepted cold reset the whole BMC stays silent for a
// while, and a completed update brings a new firmware revision.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "sim/bmc.h"
#include "sim/storage_bmc.h"
#include "sim/watchdog.h"
#include "transport/ipmi_wire.h"

namespace sim {

class AppBmc {
 public:
  // Firmware revision as Get Device ID reports it: major in 7 bits, minor
  // as two BCD digits.
  struct Revision {
    uint8_t major;
    uint8_t minor;
    bool operator==(const Revision&) const = default;
  };

  struct Knobs {
    Revision firmware{1, 0x00};
    // The revision a completed update brings; unset: the minor revision
    // one higher.
    std::optional<Revision> afterUpdate;
    // Silence after a completed update or an accepted cold reset, on the
    // clock given to the constructor.
    uint64_t rebootMicros = 0;
    // Get Device ID's manufacturer (20 bits) and product IDs.
    uint32_t manufacturerId = 0;
    uint16_t productId = 0;
    // Get Device ID says "update or initialisation in progress" (the device
    // available bit) in this many answers first.
    int busyAnswers = 0;
  };

  // Installs the handlers into `bmc` and gates its answers while it
  // reboots. `nowMicros` is the clock the reboot is measured on.
  AppBmc(Bmc& bmc, std::function<uint64_t()> nowMicros);

  Knobs knobs;
  uint8_t globalEnables = 0;
  uint8_t messageFlags = 0;
  std::array<uint8_t, 16> guid{};
  Watchdog watchdog;
  StorageBmc storage;
  int reboots = 0;
  int deviceIdAnswers = 0;
  int updatesApplied = 0;

  // The firmware flows call this when the BMC reported the update done.
  void updateCompleted();
  bool rebooting() const;

  // "1.05" for {1, 0x05}.
  static std::optional<Revision> parseRevision(const char* text);

 private:
  void startReboot();
  void installMessaging(Bmc& bmc);
  std::optional<Reply> deviceId(const Request& request);

  std::function<uint64_t()> now_;
  uint64_t silentUntil_ = 0;
  bool silent_ = false;
};

}  // namespace sim
