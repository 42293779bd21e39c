// The simulated KCS interface as a host that breaks the protocol sees it,
// and the rig around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/kcs_device.h"
#include "sim/rig.h"

namespace {

constexpr uint16_t kData = sim::kDefaultDataPort;
constexpr uint16_t kCommand = sim::kDefaultCommandPort;

struct Step {
  bool command;  // write to the command port, else the data port
  uint8_t value;
};

struct ProtocolCase {
  const char* name;
  int ibfBusyReads;
  std::vector<Step> writes;  // each followed by one status read
  std::vector<std::string> hostErrors;
};

const ProtocolCase kProtocolCases[] = {
    {"WellFormedRequest", 0, {{true, 0x61}, {false, 0x18}, {true, 0x62}, {false, 0x02}}, {}},
    {"WriteWhileIbfSet", 2, {{true, 0x61}, {false, 0x18}}, {"write of 0x18 while IBF is set"}},
    {"DataOutsideTransfer", 0, {{false, 0x18}}, {"data write of 0x18 out of place"}},
    {"WriteEndWithoutStart", 0, {{true, 0x62}}, {"control code 0x62 out of place"}},
    {"UnknownControlCode", 0, {{true, 0x6F}}, {"control code 0x6F out of place"}},
    {"AbortThenItsStatusRead", 0, {{true, 0x60}, {false, 0x00}, {false, 0x68}}, {}},
    {"WriteStartInErrorState", 0, {{true, 0x60}, {true, 0x61}}, {"control code 0x61 out of place"}},
    {"OtherByteInErrorState", 0, {{true, 0x60}, {false, 0x55}},
     {"data write of 0x55 in the error state"}},
    {"DataInsteadOfRead", 0,
     {{true, 0x61}, {false, 0x18}, {true, 0x62}, {false, 0x02}, {false, 0x55}},
     {"data write of 0x55 out of place"}},
};

class KcsProtocolTest : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(KcsProtocolTest, RecordsHostErrors) {
  const ProtocolCase& c = GetParam();
  sim::Bmc bmc;
  sim::KcsDevice device(&bmc);
  device.faults.ibfBusyReads = c.ibfBusyReads;
  for (const Step& step : c.writes) {
    device.out(step.command ? kCommand : kData, step.value);
    (void)device.in(kCommand);
    (void)device.in(kData);
  }
  EXPECT_EQ(device.hostErrors, c.hostErrors);
}

INSTANTIATE_TEST_SUITE_P(Hosts, KcsProtocolTest, ::testing::ValuesIn(kProtocolCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KcsDevice, IgnoresOtherPorts) {
  sim::Bmc bmc;
  sim::KcsDevice device(&bmc);
  EXPECT_EQ(device.in(0x80), 0xFF);
  device.out(0xCA4, 0x61);
  EXPECT_EQ(device.counts.strayAccesses, 2u);
  EXPECT_EQ(device.counts.total(), 0u);
  EXPECT_EQ(device.transfersStarted, 0);
}

// The error state and the way back from it, status by status as QEMU's KCS
// device shows them: an abort from any other state offers a stale byte and
// queues status byte 0x01, a code out of place queues 0x02, a second abort
// changes nothing.
TEST(KcsDevice, AbortSequenceStatusByStatus) {
  struct Access {
    enum { write, dataWrite, dataRead } kind;
    uint8_t value;   // written, or (dataRead) the byte expected
    uint8_t status;  // status expected after the access
  };
  struct Case {
    const char* name;
    std::vector<Access> accesses;
  };
  const Case cases[] = {
      {"from idle",
       {{Access::write, 0x60, 0xC1}, {Access::dataRead, 0x00, 0xC0}, {Access::write, 0x60, 0xC0},
        {Access::dataWrite, 0x00, 0x41}, {Access::dataRead, 0x01, 0x40},
        {Access::dataWrite, 0x68, 0x01}, {Access::dataRead, 0x00, 0x00}}},
      {"from a write",
       {{Access::write, 0x61, 0x81}, {Access::dataRead, 0x00, 0x80}, {Access::write, 0x60, 0xC1},
        {Access::dataRead, 0x00, 0xC0}, {Access::dataWrite, 0x00, 0x41},
        {Access::dataRead, 0x01, 0x40}, {Access::dataWrite, 0x68, 0x01}}},
      {"after a code out of place",
       {{Access::write, 0x62, 0xC0}, {Access::dataWrite, 0x00, 0x41},
        {Access::dataRead, 0x02, 0x40}, {Access::dataWrite, 0x68, 0x01}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Bmc bmc;
    sim::KcsDevice device(&bmc);
    for (const Access& a : c.accesses) {
      if (a.kind == Access::dataRead) {
        EXPECT_EQ(device.in(kData), a.value);
      } else {
        device.out(a.kind == Access::write ? kCommand : kData, a.value);
      }
      EXPECT_EQ(device.in(kCommand), a.status) << static_cast<int>(a.value);
    }
  }
}

TEST(KcsDevice, SilentRequestHoldsIbfUntilRecovery) {
  sim::Rig rig;
  rig.bmc.faults.silentAll = true;
  rig.kcs.faults.silentRecoveryMicros = 5'000'000;
  for (const Step& step : {Step{true, 0x61}, Step{false, 0x18}, Step{true, 0x62}}) {
    rig.kcs.out(step.command ? kCommand : kData, step.value);
    (void)rig.kcs.in(kData);
  }
  rig.kcs.out(kData, 0x02);
  EXPECT_EQ(rig.kcs.in(kCommand) & sim::kKcsIbf, sim::kKcsIbf);
  platform::stall(5'000'000);
  EXPECT_EQ(rig.kcs.in(kCommand), sim::kKcsStateIdle);
  EXPECT_EQ(rig.bmc.received, std::vector<sim::Bytes>({{0x18, 0x02}}));
}

TEST(Rig, RunsTheProgramWithCapturedConsole) {
  sim::Rig rig;
  const std::filesystem::path scratch = rig.directory();
  EXPECT_EQ(std::filesystem::current_path(), scratch);
  rig.writeFile("note.txt", "abc");
  EXPECT_EQ(rig.readFile("note.txt"), sim::Bytes({'a', 'b', 'c'}));

  sim::RunResult first = rig.run({"Velkoran.efi"});
  EXPECT_EQ(first.result, 0);
  EXPECT_NE(first.console.find("IPMI FIRMWARE UPDATE UTILITY"), std::string::npos);
  sim::RunResult second = rig.runMain({"Velkoran.efi", "-i", "bad"});
  EXPECT_EQ(second.result, 0);
  EXPECT_NE(second.console.find("ERROR:PLEASE SELECT THE INTERFACE"), std::string::npos);
  EXPECT_EQ(rig.console, first.console + second.console);
  EXPECT_EQ(rig.takeConsole(), rig.console);
  EXPECT_EQ(rig.takeConsole(), "");
}

TEST(Rig, CleansUpAfterItself) {
  std::filesystem::path scratch;
  const std::filesystem::path before = std::filesystem::current_path();
  {
    sim::Rig rig;
    scratch = rig.directory();
    rig.writeFile("kcs.cfg", "CMD CA3\n");
  }
  EXPECT_FALSE(std::filesystem::exists(scratch));
  EXPECT_EQ(std::filesystem::current_path(), before);
  EXPECT_EQ(hostplatform::portDevice(), nullptr);
}

}  // namespace
