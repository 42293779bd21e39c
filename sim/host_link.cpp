#include "host_link.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app_bmc.h"
#include "config_bmc.h"
#include "extern_link.h"
#include "firmware_bmc.h"
#include "kcs_device.h"
#include "platform/host/host.h"

namespace sim {
namespace {

// The simulated BMC, in-process: it takes updates, serves dumps of what it holds and keeps a configuration.
void attachInProcessBmc() {
  static Bmc bmc;
  static AppBmc app(bmc, [] { return hostplatform::nowMicros(); });
  static FirmwareBmc firmware(bmc);
  firmware.onUpdateComplete = [] { app.updateCompleted(); };
  static ConfigBmc config(bmc);
  static KcsDevice device(&bmc);
  hostplatform::setPortDevice(&device);
}

}  // namespace

bool attachBmcFromEnvironment() {
  const char* value = std::getenv(kBmcEnvironmentVariable);
  if (value == nullptr || *value == '\0') return true;
  if (std::string(value) == kInProcessBmc) {
    attachInProcessBmc();
    return true;
  }
  const std::optional<link::Address> address = link::parseAddress(value);
  if (!address) {
    std::fprintf(stderr, "%s: expected sim, unix:PATH or tcp:HOST:PORT, got \"%s\"\n",
                 kBmcEnvironmentVariable, value);
    return false;
  }
  // They serve the port bus until the process ends.
  static std::unique_ptr<link::ClientEndpoint> client;
  static std::unique_ptr<KcsDevice> device;
  client = std::make_unique<link::ClientEndpoint>(*address);
  device = std::make_unique<KcsDevice>(client.get());
  hostplatform::setPortDevice(device.get());
  return true;
}

}  // namespace sim
