// Pieces the fuzz targets that run the program against a hostile BMC share.
// Built without coverage, like the simulator: they are the test double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/host/host.h"
#include "sim/bmc.h"
#include "sim/kcs_device.h"
#include "sim/rig.h"

namespace fuzzsupport {

// A broken invariant: libFuzzer keeps the input that got here.
[[noreturn]] inline void fail() { std::abort(); }

// The rig's KCS device, with virtual time skipping ahead while the program
// polls a status register that does not change: a request the BMC leaves
// unanswered then costs the program a few dozen polls of its 10-second wait
// instead of ten thousand, and the run's outcome stays the same.
class FastForwardPorts : public hostplatform::PortDevice {
 public:
  explicit FastForwardPorts(sim::KcsDevice& device);
  ~FastForwardPorts() override;
  FastForwardPorts(const FastForwardPorts&) = delete;
  FastForwardPorts& operator=(const FastForwardPorts&) = delete;

  uint8_t in(uint16_t port) override;
  void out(uint16_t port, uint8_t value) override;

 private:
  sim::KcsDevice& device_;
  int lastStatus_ = -1;
  int sameStatusReads_ = 0;
};

// A hostile BMC that may take some requests without building a reply.
class QuietEndpoint : public sim::Endpoint {
 public:
  // Takes a request that the BMC answers with completion code 0 and no data
  // whatever the input says; false when it would answer otherwise.
  virtual bool takeQuietly(uint8_t /*netFnLun*/, uint8_t /*command*/, const uint8_t* /*data*/,
                           size_t /*length*/) {
    return false;
  }
};

// Binds toolContext.transport's transfer so that every request reaches bmc
// (nullptr: back to the plain KCS transfer). A reply the transfer takes
// whole becomes its result at once, mostly: completion code, data and the
// data's length, as the transfer gives them. A broken one (none, too short,
// too long), and one whole reply in eight, go through the rig's simulated
// port interface, whose failures the program must survive. A 256 KiB region
// through that interface costs some 400 ms of byte-by-byte port traffic that
// says nothing new; this way it costs the program's own work.
void routeTransfers(sim::Rig& rig, QuietEndpoint* bmc);

}  // namespace fuzzsupport
