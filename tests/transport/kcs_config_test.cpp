// kcs.cfg contents to port numbers, and the refusal of a file that does not
// name both ports.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "sim/rig.h"
#include "transport/kcs.h"

namespace {

constexpr char kRefusal[] = "ERROR:kcs.cfg NAMES NO VALID PORTS: ";
constexpr char kNoCmdNoData[] = "CMD and DATA are missing";
constexpr char kNoCmd[] = "CMD is missing";
constexpr char kNoData[] = "DATA is missing";
constexpr char kBadCmd[] = "the CMD value is not a hexadecimal port from 1 to FFFF";
constexpr char kBadData[] = "the DATA value is not a hexadecimal port from 1 to FFFF";

struct PortsCase {
  const char* name;
  std::string file;
  uint16_t command;  // both 0: refused with `problem`
  uint16_t data;
  const char* problem;
};

const PortsCase kPortsCases[] = {
    {"StandardFile", "CMD CA3\nDATA CA2\n", 0xCA3, 0xCA2, nullptr},
    {"OtherBase", "CMD CA5\r\nDATA CA4\r\n", 0xCA5, 0xCA4, nullptr},
    {"NoTrailingNewline", "DATA 62\nCMD 66", 0x66, 0x62, nullptr},
    {"ZeroXPrefix", "CMD 0xCA3\nDATA 0XCA2\n", 0xCA3, 0xCA2, nullptr},
    {"LowerCaseDigits", "CMD ca3 DATA ca2", 0xCA3, 0xCA2, nullptr},
    {"LeadingZeros", "CMD 00CA3\nDATA 0x0000CA2", 0xCA3, 0xCA2, nullptr},
    {"Extremes", "CMD 1\nDATA FFFF", 0x1, 0xFFFF, nullptr},
    {"UnknownWordsSkipped", "FOO CMD CA3 BAR DATA CA2 BAZ\n", 0xCA3, 0xCA2, nullptr},
    {"LastKeyWins", "CMD 1\nDATA CA2\nDATA 1234\n", 0x1, 0x1234, nullptr},
    {"CommentsIgnored", "# standard\nCMD CA3 # command\n#DATA 1\nDATA CA2#data", 0xCA3, 0xCA2,
     nullptr},
    {"Empty", "", 0, 0, kNoCmdNoData},
    {"OnlyBlanks", " \n\t\r\n", 0, 0, kNoCmdNoData},
    {"OnlyComments", "# CMD CA3\n#DATA CA2\n", 0, 0, kNoCmdNoData},
    {"BareValue", "0xCA9\n", 0, 0, kNoCmdNoData},
    {"KeyEqualsValue", "command=0xCA9\n", 0, 0, kNoCmdNoData},
    {"KeyGluedToValue", "CMD=CA3 DATA=CA2\n", 0, 0, kNoCmdNoData},
    {"KeysAreCaseSensitive", "cmd CA3\ndata CA2\n", 0, 0, kNoCmdNoData},
    {"OnlyCmd", "CMD CA3\n", 0, 0, kNoData},
    {"OnlyData", "DATA CA2\n", 0, 0, kNoCmd},
    {"CmdWithoutValue", "DATA CA2 CMD", 0, 0, "CMD has no value"},
    {"DataValueInComment", "CMD CA3\nDATA # CA2\n", 0, 0, "DATA has no value"},
    {"KeyAsValue", "CMD DATA 77\n", 0, 0, kBadCmd},
    {"NotHex", "CMD XYZ\nDATA CA2\n", 0, 0, kBadCmd},
    {"TrailingGarbage", "CMD CA3\nDATA CA2X", 0, 0, kBadData},
    {"Zero", "CMD 0\nDATA CA2\n", 0, 0, kBadCmd},
    {"ZeroXAlone", "CMD CA3\nDATA 0x\n", 0, 0, kBadData},
    {"AboveFFFF", "CMD 10000\nDATA CA2\n", 0, 0, kBadCmd},
    {"FarAboveFFFF", "CMD CA3\nDATA 0x1234567890ABCDEF1\n", 0, 0, kBadData},
    {"NegativeValue", "CMD -CA3\nDATA CA2\n", 0, 0, kBadCmd},
    {"NulInValue", std::string("CMD CA3\nDATA C\0A2\n", 18), 0, 0, kBadData},
    {"NulAfterKey", std::string("CMD CA3\nDATA\0X CA2\n", 19), 0, 0, kNoData},
    {"GoodThenBadRepeat", "CMD CA3\nDATA CA2\nCMD 0\n", 0, 0, kBadCmd},
};

class KcsConfigFile : public ::testing::TestWithParam<PortsCase> {};

TEST_P(KcsConfigFile, ParsesOrNamesTheProblem) {
  const PortsCase& c = GetParam();
  KcsPorts ports{};
  const char* problem = "unset";
  const bool valid = kcsParseConfig(c.file.data(), c.file.size(), &ports, &problem);
  ASSERT_EQ(valid, c.problem == nullptr);
  if (valid) {
    EXPECT_EQ(problem, nullptr);
    EXPECT_EQ(ports.command, c.command);
    EXPECT_EQ(ports.data, c.data);
  } else {
    EXPECT_STREQ(problem, c.problem);
  }
}

// The same file read by the transport: ports set, or the refusal line, the
// file-problem class and no usable port.
TEST_P(KcsConfigFile, OpensOrRefuses) {
  const PortsCase& c = GetParam();
  sim::Rig rig;
  rig.writeFile("kcs.cfg", c.file);
  if (c.problem == nullptr) {
    EXPECT_EQ(kcsOpen(), 0);
    EXPECT_EQ(toolContext.commandPort, c.command);
    EXPECT_EQ(toolContext.statusPort, c.command);
    EXPECT_EQ(toolContext.dataPort, c.data);
    EXPECT_EQ(rig.console, "");
  } else {
    EXPECT_EQ(kcsOpen(), -1);
    EXPECT_GT(toolContext.commandPort, 0xFFFFu);
    EXPECT_GT(toolContext.dataPort, 0xFFFFu);
    EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kFileProblem);
    EXPECT_EQ(rig.console, std::string(kRefusal) + c.problem + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Files, KcsConfigFile, ::testing::ValuesIn(kPortsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KcsConfigOpen, NoFileGivesDefaults) {
  sim::Rig rig;
  EXPECT_EQ(kcsOpen(), 0);
  EXPECT_EQ(toolContext.commandPort, 0xCA3u);
  EXPECT_EQ(toolContext.statusPort, 0xCA3u);
  EXPECT_EQ(toolContext.dataPort, 0xCA2u);
  EXPECT_EQ(kcsClose(), 0);
  EXPECT_EQ(toolContext.dataPort, 0xCA2u);
}

TEST(KcsConfigOpen, LongFileRefusedEvenWithPorts) {
  sim::Rig rig;
  rig.writeFile("kcs.cfg", "CMD CA3\nDATA CA2\n#" + std::string(4096, 'x'));
  EXPECT_EQ(kcsOpen(), -1);
  EXPECT_EQ(rig.console, std::string(kRefusal) + "it is longer than 4096 bytes\n");
}

TEST(KcsConfigOpen, LongestFileAccepted) {
  sim::Rig rig;
  const std::string ports = "CMD CA5\nDATA CA4\n#";
  rig.writeFile("kcs.cfg", ports + std::string(4096 - ports.size(), 'x'));
  EXPECT_EQ(kcsOpen(), 0);
  EXPECT_EQ(toolContext.commandPort, 0xCA5u);
}

TEST(KcsConfigOpen, ConfiguredPortsCarryTransfers) {
  sim::Rig rig;
  rig.writeFile("kcs.cfg", "CMD 0xCA5\nDATA CA4\n");
  rig.kcs.bindPorts(0xCA4, 0xCA5);
  toolContext.transport = kcsTransport();
  ASSERT_EQ(toolContext.transport.open(), 0);
  uint8_t response[4] = {};
  int32_t length = 0;
  EXPECT_EQ(toolContext.transport.transfer(0x18, 0x02, nullptr, 0, response, 4, &length), 0);
  EXPECT_EQ(rig.bmc.coldResets, 1);
  EXPECT_EQ(rig.kcs.counts.strayAccesses, 0u);
}

// A folder named kcs.cfg is no file at all: the default ports, as the
// firmware's file system gives them.
TEST(KcsConfigOpen, FolderNamedLikeTheFileGivesDefaults) {
  sim::Rig rig;
  std::filesystem::create_directory(rig.directory() / "kcs.cfg");
  EXPECT_EQ(kcsOpen(), 0);
  EXPECT_EQ(toolContext.commandPort, 0xCA3u);
  EXPECT_EQ(toolContext.dataPort, 0xCA2u);
}

// Every mode that needs the BMC stops at a refused kcs.cfg with class 2,
// before a single port access, and says nothing of an unanswering BMC.
TEST(KcsConfigRun, RefusedFileEndsEveryModeBeforeThePorts) {
  const std::vector<std::vector<std::string>> modes = {
      {"velkoran", "--status", "-d", "dump.bin"},
      {"velkoran", "--status", "-c", "-d", "backup.bin"},
      {"velkoran", "--status", "--bmc-info"},
  };
  for (const std::vector<std::string>& arguments : modes) {
    sim::Rig rig;
    rig.writeFile("kcs.cfg", "command=0xCA9\n");
    const sim::RunResult run = rig.runMain(arguments);
    EXPECT_EQ(run.result, 2) << arguments[2];
    EXPECT_NE(run.console.find(std::string(kRefusal) + kNoCmdNoData + "\n"), std::string::npos)
        << run.console;
    EXPECT_EQ(run.console.find("DID NOT ANSWER"), std::string::npos) << run.console;
    EXPECT_EQ(rig.kcs.counts.total() + rig.kcs.counts.strayAccesses, 0u) << arguments[2];
  }
}

struct ValueCase {
  const char* token;
  bool valid;
  uint16_t value;
};

TEST(KcsParsePortValue, HexadecimalFromOneToFFFF) {
  const ValueCase cases[] = {
      {"CA3", true, 0xCA3},    {"ca3", true, 0xCA3},   {"0xCA3", true, 0xCA3},
      {"0XcA3", true, 0xCA3},  {"FFFF", true, 0xFFFF}, {"0000fFfF", true, 0xFFFF},
      {"9", true, 9},          {"00CA3", true, 0xCA3}, {"0x0", false, 0},
      {"CA3X", false, 0},      {"12345", false, 0},    {"", false, 0},
      {"G1", false, 0},        {"0", false, 0},        {"0x", false, 0},
      {"x1", false, 0},        {"0x0x1", false, 0},    {"a-1", false, 0},
      {"DATA", false, 0},      {"+1", false, 0},
  };
  for (const ValueCase& c : cases) {
    uint16_t port = 0x5555;
    EXPECT_EQ(kcsParsePortValue(c.token, std::strlen(c.token), &port), c.valid) << c.token;
    EXPECT_EQ(port, c.valid ? c.value : 0x5555) << c.token;
  }
}

}  // namespace
