#include "host_link.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "extern_link.h"
#include "kcs_device.h"
#include "platform/host/host.h"

namespace sim {

bool attachBmcFromEnvironment() {
  const char* value = std::getenv(kBmcEnvironmentVariable);
  if (value == nullptr || *value == '\0') return true;
  const std::optional<link::Address> address = link::parseAddress(value);
  if (!address) {
    std::fprintf(stderr, "%s: expected unix:PATH or tcp:HOST:PORT, got \"%s\"\n",
                 kBmcEnvironmentVariable, value);
    return false;
  }
  // They serve the port bus until the process ends.
  static std::unique_ptr<link::Client> client;
  static std::unique_ptr<KcsDevice> device;
  client = std::make_unique<link::Client>(*address);
  device = std::make_unique<KcsDevice>(client.get());
  hostplatform::setPortDevice(device.get());
  return true;
}

}  // namespace sim
