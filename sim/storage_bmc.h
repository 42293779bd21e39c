// The chassis, event receiver, SEL, SDR repository and FRU inventory
// commands every BMC has, kept minimal: a chassis that is on, an event log
// that starts empty and takes entries, an empty SDR repository and one small
// FRU device whose area holds just a common header.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "sim/bmc.h"

namespace sim {

class StorageBmc {
 public:
  StorageBmc(Bmc& bmc, std::function<uint64_t()> nowMicros);

  using SelEntry = std::array<uint8_t, 16>;
  std::vector<SelEntry> sel;
  Bytes fru;
  bool powerOn = true;

 private:
  void installChassis(Bmc& bmc);
  void installEvents(Bmc& bmc);
  void installSel(Bmc& bmc);
  void installSdr(Bmc& bmc);
  void installFru(Bmc& bmc);

  uint16_t addSelEntry(SelEntry entry);
  std::optional<Reply> getSelEntry(const Request& request) const;
  std::optional<Reply> clearSel(const Request& request);
  std::optional<Reply> readFru(const Request& request) const;
  std::optional<Reply> writeFru(const Request& request);
  uint32_t selSeconds() const;

  std::function<uint64_t()> now_;
  int64_t selClockOffset_ = 0;  // SEL time minus the clock, in seconds
  uint32_t lastAddition_ = 0xFFFFFFFF;
  uint32_t lastErase_ = 0xFFFFFFFF;
  uint16_t selReservation_ = 0;
  uint16_t sdrReservation_ = 0;
  uint16_t nextRecordId_ = 1;
  std::array<uint8_t, 2> eventReceiver_{0x20, 0x00};
};

}  // namespace sim
