// A 4 MiB firmware update and a 4 MiB dump against the in-process simulated
// BMC (virtual clock: the waits cost nothing). Reports requests per second
// and the program's own time per request: the whole run less what the
// simulated KCS device and BMC cost, found by replaying the port accesses of
// the first requests against a fresh device without the program.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "sim/firmware_bmc.h"
#include "sim/rig.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kFourMiB = 0x400000;
constexpr uint64_t kTablePage = 0x3C0000;
constexpr int kRepeats = 3;

constexpr int kTracedRequests = 4000;

struct Figures {
  double seconds = 1e9;
  size_t requests = 0;
  double deviceSecondsPerRequest = 1e9;
  double portAccessesPerRequest = 0;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

sim::Bytes fourMiBImage() {
  sim::Bytes image(kFourMiB);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(1 + (i * 7 + i / 251) % 255);
  const std::string table =
      "[img]: 0 200000 0 boot.bin\n[img]: 200000 1c0000 0 rootfs.bin\n[end]\n";
  std::copy(table.begin(), table.end(), image.begin() + kTablePage);
  image[kTablePage + table.size()] = 0;
  return image;
}

// The whole run, best of kRepeats, with nothing in the way of the program.
void timeWholeRuns(const std::vector<std::string>& arguments, const sim::Bytes& image,
                   const sim::Bytes& flash, Figures* figures, bool* ok) {
  for (int repeat = 0; repeat < kRepeats; ++repeat) {
    sim::Rig rig;
    sim::FirmwareBmc firmware(rig.bmc);
    firmware.flash = flash;
    if (!image.empty()) rig.writeFile("image.bin", image);
    std::string sink;
    hostplatform::captureConsole(&sink);
    auto start = Clock::now();
    rig.run(arguments);
    double seconds = secondsSince(start);
    *ok = *ok && firmware.violations.empty() &&
          (image.empty() ? rig.readFile("dump.bin") == flash : firmware.updateComplete());
    figures->seconds = std::min(figures->seconds, seconds);
    figures->requests = rig.bmc.received.size();
  }
}

// The port accesses of the first kTracedRequests requests of a run.
std::vector<sim::PortAccess> traceFirstRequests(const std::vector<std::string>& arguments,
                                                const sim::Bytes& image, const sim::Bytes& flash) {
  sim::Rig rig;
  sim::FirmwareBmc firmware(rig.bmc);
  firmware.flash = flash;
  if (!image.empty()) rig.writeFile("image.bin", image);
  rig.kcs.traceEnabled = true;
  firmware.observer = [&](const sim::Request&) {
    if (rig.bmc.received.size() == kTracedRequests) rig.kcs.traceEnabled = false;
  };
  std::string sink;
  hostplatform::captureConsole(&sink);
  rig.run(arguments);
  return rig.kcs.trace;
}

// The cost of the simulated device and BMC alone: the traced accesses are
// replayed against a fresh device, without the program.
void timeDeviceAlone(const std::vector<sim::PortAccess>& trace, const sim::Bytes& flash,
                     Figures* figures) {
  for (int repeat = 0; repeat < kRepeats; ++repeat) {
    sim::Rig rig;
    sim::FirmwareBmc firmware(rig.bmc);
    firmware.flash = flash;
    auto start = Clock::now();
    for (const sim::PortAccess& access : trace) {
      switch (access.kind) {
        case sim::PortAccess::statusRead: rig.kcs.in(sim::kDefaultCommandPort); break;
        case sim::PortAccess::dataRead: rig.kcs.in(sim::kDefaultDataPort); break;
        case sim::PortAccess::dataWrite: rig.kcs.out(sim::kDefaultDataPort, access.value); break;
        case sim::PortAccess::commandWrite:
          rig.kcs.out(sim::kDefaultCommandPort, access.value);
          break;
      }
    }
    figures->deviceSecondsPerRequest =
        std::min(figures->deviceSecondsPerRequest, secondsSince(start) / kTracedRequests);
  }
  figures->portAccessesPerRequest = double(trace.size()) / kTracedRequests;
}

Figures measure(const std::vector<std::string>& arguments, const sim::Bytes& image,
                const sim::Bytes& flash, bool* ok) {
  Figures figures;
  timeWholeRuns(arguments, image, flash, &figures, ok);
  timeDeviceAlone(traceFirstRequests(arguments, image, flash), flash, &figures);
  return figures;
}

void report(const char* name, const Figures& f) {
  double perRequest = f.seconds / double(f.requests);
  std::printf("%s: %zu requests in %.3f s = %.0f requests/s\n", name, f.requests, f.seconds,
              double(f.requests) / f.seconds);
  std::printf("  per request: %.2f us in all, of which the program's own %.2f us and the "
              "simulated KCS device and BMC %.2f us (%.0f port accesses)\n",
              perRequest * 1e6, (perRequest - f.deviceSecondsPerRequest) * 1e6,
              f.deviceSecondsPerRequest * 1e6, f.portAccessesPerRequest);
}

}  // namespace

int main() {
  bool ok = true;
  sim::Bytes flash = fourMiBImage();
  report("update of a 4 MiB image", measure({"Velkoran.efi", "-f", "image.bin"}, flash, {}, &ok));
  report("dump of 4 MiB", measure({"Velkoran.efi", "-d", "dump.bin"}, {}, flash, &ok));
  if (!ok) std::printf("FAILED: the simulated BMC saw a protocol fault or the data differ\n");
  return ok ? 0 : 1;
}
