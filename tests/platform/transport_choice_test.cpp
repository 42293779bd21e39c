// The Linux build's choice of the way to the BMC, as the one-run lock sees
// it: the name each environment leads to, before anything is opened.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "app/run.h"
#include "platform/linux/transport_choice.h"
#include "sim/rig.h"
#include "state/tool_context.h"

namespace {

// Sets (or, for nullptr, unsets) an environment variable for one scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* before = getenv(name)) {
      before_ = before;
      had_ = true;
    }
    set(value);
  }
  ~ScopedVariable() { set(had_ ? before_.c_str() : nullptr); }

 private:
  void set(const char* value) {
    if (value != nullptr) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
  }

  const char* name_;
  std::string before_;
  bool had_ = false;
};

TEST(TransportChoice, NamesTheBmcOfTheFirstWayAsked) {
  const std::string regularFile = "/tmp/velkoran-choice-" + std::to_string(getpid());
  std::ofstream(regularFile) << "not a device";
  struct Case {
    const char* interface;
    const char* link;
    const char* device;
    int result;
    std::string name;
  } cases[] = {
      // -i lan names the BMC it reaches, whatever else the environment says.
      {"lan", "tcp:127.0.0.1:9000", nullptr, 0, "lan-bmc.example-623"},
      {"kcs", "tcp:127.0.0.1:9000", "/dev/null", 0, "tcp-127.0.0.1-9000"},
      {"", "unix:/nonexistent/bmc.sock", nullptr, 0, "unix-/nonexistent/bmc.sock"},
      {"", "tcp:", nullptr, -1, ""},
      // A device named but missing, or no device at all, is no BMC: open says why.
      {"", nullptr, "/nonexistent/ipmi0", -1, ""},
      {"", nullptr, regularFile.c_str(), -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.interface) + " " + (c.link ? c.link : "-") + " " +
                 (c.device ? c.device : "-"));
    sim::Rig rig;
    ScopedVariable link("VELKORAN_BMC", c.link);
    ScopedVariable device("VELKORAN_IPMI_DEVICE", c.device);
    std::snprintf(toolContext.interfaceName, sizeof toolContext.interfaceName, "%s", c.interface);
    std::snprintf(toolContext.host, sizeof toolContext.host, "bmc.example");
    char name[kBmcNameCapacity] = {};
    EXPECT_EQ(linuxplatform::chosenTransport().nameBmc(name, sizeof name), c.result);
    if (c.result == 0) {
      EXPECT_EQ(std::string(name), c.name);
    }
  }
  unlink(regularFile.c_str());
}

}  // namespace
