// Pieces the fuzz targets that run the program against a hostile BMC share.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "platform/host/host.h"
#include "sim/kcs_device.h"

namespace fuzzsupport {

// A broken invariant: libFuzzer keeps the input that got here.
[[noreturn]] inline void fail() { std::abort(); }

// The rig's KCS device, with virtual time skipping ahead while the program
// polls a status register that does not change: a request the BMC leaves
// unanswered then costs the program a few hundred polls of its 10-second
// wait instead of ten thousand, and the run's outcome stays the same.
class FastForwardPorts : public hostplatform::PortDevice {
 public:
  explicit FastForwardPorts(sim::KcsDevice& device) : device_(device) {
    hostplatform::setPortDevice(this);
  }
  ~FastForwardPorts() override { hostplatform::setPortDevice(&device_); }
  FastForwardPorts(const FastForwardPorts&) = delete;
  FastForwardPorts& operator=(const FastForwardPorts&) = delete;

  uint8_t in(uint16_t port) override {
    const uint8_t value = device_.in(port);
    if (port == sim::kDefaultCommandPort && value == lastStatus_) {
      if (++sameStatusReads_ > kPatientReads) hostplatform::advanceClock(kSkipMicros);
    } else {
      sameStatusReads_ = 0;
    }
    lastStatus_ = port == sim::kDefaultCommandPort ? value : -1;
    return value;
  }

  void out(uint16_t port, uint8_t value) override {
    sameStatusReads_ = 0;
    device_.out(port, value);
  }

 private:
  static constexpr int kPatientReads = 16;
  static constexpr uint64_t kSkipMicros = 250000;

  sim::KcsDevice& device_;
  int lastStatus_ = -1;
  int sameStatusReads_ = 0;
};

}  // namespace fuzzsupport
