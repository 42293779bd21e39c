// kcs.cfg contents to port numbers.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "state/tool_context.h"
#include "sim/rig.h"
#include "transport/kcs.h"

namespace {

struct PortsCase {
  const char* name;
  std::optional<std::string> file;  // std::nullopt: no kcs.cfg at all
  uint64_t command;
  uint64_t data;
};

const PortsCase kPortsCases[] = {
    {"NoFileGivesDefaults", std::nullopt, 0xCA3, 0xCA2},
    {"StandardFile", "CMD CA3\nDATA CA2\n", 0xCA3, 0xCA2},
    {"OtherBase", "CMD CA5\r\nDATA CA4\r\n", 0xCA5, 0xCA4},
    {"NoTrailingNewline", "DATA 62\nCMD 66", 0x66, 0x62},
    {"ZeroXPrefixEndsAtX", "CMD 0xCA3\nDATA CA2\n", 0, 0xCA2},
    {"OnlyDataLeavesCommandZero", "DATA CA2\n", 0, 0xCA2},
    {"EmptyFileLeavesAllZero", "", 0, 0},
    {"LowerCaseDigits", "CMD ca3 DATA ca2", 0xCA3, 0xCA2},
    {"TrailingGarbageDigits", "CMD CA3X\nDATA CA2", 0xCA3, 0xCA2},
    {"FourDigitsAtMost", "CMD 12345\nDATA 2", 0x1234, 0x2},
    {"KeysAreCaseSensitive", "cmd CA3\ndata CA2\n", 0, 0},
    {"UnknownTokensSkipped", "# ports\nFOO CMD CA3 BAR DATA CA2 BAZ\n", 0xCA3, 0xCA2},
    {"LastKeyWins", "DATA CA2\nDATA 1234\n", 0, 0x1234},
    // The key token itself is converted when its value is missing.
    {"DataAtEndConvertsItself", "CMD CA3\nDATA\n", 0xCA3, 0xDA},
    {"CmdAtEndConvertsItself", "DATA CA2 CMD", 0xC, 0xCA2},
    // After CMD the value token is what is compared with "DATA".
    {"CmdValueDataReadsNextAsData", "CMD DATA 77\n", 0xDA, 0x77},
    {"NonHexValueGivesZero", "CMD XYZ\nDATA CA2\n", 0, 0xCA2},
    // Tokens are cut to 19 characters; the rest of a long token is dropped.
    {"LongTokenCut", "CMD CA3ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ DATA CA2\n", 0xCA3, 0xCA2},
    {"TailOfLongTokenIsNoKey", "XXXXXXXXXXXXXXXXXXXDATA 77\n", 0, 0},
};

class KcsConfigTest : public ::testing::TestWithParam<PortsCase> {};

TEST_P(KcsConfigTest, SetsPorts) {
  const PortsCase& c = GetParam();
  sim::Rig rig;
  if (c.file) rig.writeFile("kcs.cfg", *c.file);
  EXPECT_EQ(kcsOpen(), 0);
  EXPECT_EQ(toolContext.commandPort, c.command);
  EXPECT_EQ(toolContext.statusPort, c.command);
  EXPECT_EQ(toolContext.dataPort, c.data);
  EXPECT_EQ(rig.console, "");
}

INSTANTIATE_TEST_SUITE_P(Files, KcsConfigTest, ::testing::ValuesIn(kPortsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KcsConfigReopen, KeyMissingFromFileKeepsEarlierValue) {
  sim::Rig rig;
  EXPECT_EQ(kcsOpen(), 0);
  rig.writeFile("kcs.cfg", "DATA 100\n");
  EXPECT_EQ(kcsOpen(), 0);
  EXPECT_EQ(toolContext.commandPort, 0xCA3u);
  EXPECT_EQ(toolContext.dataPort, 0x100u);
  EXPECT_EQ(kcsClose(), 0);
  EXPECT_EQ(toolContext.dataPort, 0x100u);
}

TEST(KcsConfigReopen, ConfiguredPortsCarryTransfers) {
  sim::Rig rig;
  rig.writeFile("kcs.cfg", "CMD CA5\nDATA CA4\n");
  rig.kcs.bindPorts(0xCA4, 0xCA5);
  toolContext.transport = TransportOps{kcsOpen, kcsTransfer, kcsClose};
  ASSERT_EQ(toolContext.transport.open(), 0);
  uint8_t response[4] = {};
  int32_t length = 0;
  EXPECT_EQ(toolContext.transport.transfer(0x18, 0x02, nullptr, 0, response, 4, &length), 0);
  EXPECT_EQ(rig.bmc.coldResets, 1);
  EXPECT_EQ(rig.kcs.counts.strayAccesses, 0u);
}

struct ValueCase {
  const char* token;
  uint16_t value;
};

TEST(KcsParsePortValue, ConvertsUpToFourHexDigits) {
  const ValueCase cases[] = {
      {"CA3", 0xCA3}, {"ca3", 0xCA3},   {"CA3X", 0xCA3}, {"12345", 0x1234}, {"0xCA3", 0},
      {"", 0},        {"G1", 0},        {"FFFF", 0xFFFF}, {"fFfF1", 0xFFFF}, {"DATA", 0xDA},
      {"9", 9},       {"00CA3", 0x00CA}, {"a-1", 0xA},
  };
  for (const ValueCase& c : cases) {
    EXPECT_EQ(kcsParsePortValue(c.token), c.value) << c.token;
  }
}

}  // namespace

namespace {

// A folder named kcs.cfg is no file at all: the default ports, as the
// firmware's file system gives them.
TEST(KcsConfigReopen, FolderNamedLikeTheFileGivesDefaults) {
  sim::Rig rig;
  std::filesystem::create_directory(rig.directory() / "kcs.cfg");
  EXPECT_EQ(kcsOpen(), 0);
  EXPECT_EQ(toolContext.commandPort, 0xCA3u);
  EXPECT_EQ(toolContext.dataPort, 0xCA2u);
}

}  // namespace
