// The cold reset: what the BMC's answer makes of it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/rig.h"
#include "state/tool_context.h"
#include "transport/ipmi.h"

namespace {

const std::string kStateError = "ERROR !! BMC did not in correct state\n";

TEST(IpmiColdReset, ReportsWhetherTheBmcAccepted) {
  struct Case {
    const char* name;
    std::function<void(sim::Rig&)> inject;
    int result;
    int coldResets;
    std::string console;
  };
  const Case cases[] = {
      {"accepted", [](sim::Rig&) {}, 0, 1, "Execute Cold Reset Success\n"},
      {"refused",
       [](sim::Rig& r) { r.bmc.faults.completionCode[sim::commandKey(0x18, 0x02)] = 0xD5; }, -1,
       0, "Execute Cold Reset Fail\n"},
      {"unanswered", [](sim::Rig& r) { r.bmc.faults.silentAll = true; }, -1, 0,
       kStateError + "Execute Cold Reset Fail\n"},
      {"overlong reply", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 140; }, -1, 1,
       "Execute Cold Reset Fail\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Rig rig;
    rig.bindTransport();
    c.inject(rig);
    EXPECT_EQ(ipmiColdReset(), c.result);
    EXPECT_EQ(rig.bmc.coldResets, c.coldResets);
    EXPECT_EQ(rig.console, c.console);
    EXPECT_EQ(rig.bmc.received, std::vector<sim::Bytes>({{0x18, 0x02}}));
  }
}

}  // namespace
