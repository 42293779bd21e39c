// Configuration restore against the simulated BMC.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>

#include "config_rig.h"
#include "platform/host/host.h"

namespace configtest {
namespace {

using sim::ConfigOp;

Bytes blockRequest(uint32_t sequence, const Bytes& file, size_t from, size_t count) {
  Bytes request(4 + count);
  request[0] = 0x33;
  for (int i = 0; i < 3; ++i) request[1 + i] = static_cast<uint8_t>(sequence >> (8 * i));
  std::copy_n(file.begin() + static_cast<long>(from), count, request.begin() + 4);
  return request;
}

// Also when the file system answers reads in pieces: blocks stay whole.
TEST(ConfigRestore, HundredBytesInBlocksOfFortyFive) {
  for (size_t piece : {0, 7}) {
    SCOPED_TRACE(piece);
    ConfigRig bench(7);
    const Bytes file = patternBytes(100, 1);
    bench.rig.writeFile("restore.bin", file);
    hostplatform::faults().readPieceLimit = piece;
    const sim::RunResult run = bench.restore();

    EXPECT_EQ(run.result, 0);
    const std::vector<Bytes> expected = {
        {0x06},
        {0x01, 0x64, 0x00, 0x00, 0x00},
        {0x32},
        blockRequest(0x10, file, 0, 45),
        blockRequest(0x11, file, 45, 45),
        blockRequest(0x12, file, 90, 10),
    };
    EXPECT_EQ(bench.requests(), expected);
    EXPECT_EQ(bench.requests()[5].size(), 14u);
    EXPECT_EQ(run.console,
              "=== IPMI Configuration Restore Mode ===\n"
              "Data preparing........\n"
              "Total data length :       100\n"
              "Bytes Processed data length : 0x  2d Bytes Transmit Progress :   45 %\r"
              "Bytes Processed data length : 0x  5a Bytes Transmit Progress :   90 %\r"
              "Bytes Processed data length : 0x  64 Bytes Transmit Progress :  100 %\r"
              "Done. Please wait at least 1 minute to restore configurations.\n");
    EXPECT_EQ(bench.config.store, file);
    EXPECT_EQ(bench.config.restoresCompleted, 1);
    EXPECT_TRUE(bench.config.violations.empty());
  }
}

// A file that cannot be read to its measured end sends no short block; a
// folder is no restore file.
TEST(ConfigRestore, UnreadableFileFailsTheRestore) {
  ConfigRig bench(7);
  bench.rig.writeFile("restore.bin", patternBytes(100, 1));
  hostplatform::faults().readFailsAt = 60;
  sim::RunResult run = bench.restore();
  EXPECT_EQ(run.console, kRestoreHead + totalLine(100) + progressLine(45, 45) +
                             "ERROR: READ RESTORE FILE FAILED\n\n" + progressLine(60, 60) +
                             kFailed);
  EXPECT_EQ(bench.countRequests(ConfigOp::Block), 1u);
  EXPECT_EQ(bench.requests().back(), Bytes{0x33});

  std::filesystem::create_directory(bench.rig.directory() / "folder");
  run = bench.restore("folder");
  EXPECT_EQ(run.console, "=== IPMI Configuration Restore Mode ===\nERROR: OPEN FILE FAILED\n\n" +
                             kFailed);
}

TEST(ConfigRestore, PreserveOptionPlaysNoPart) {
  std::vector<Bytes> plain;
  for (const char* preserve : {"", "n", "y"}) {
    ConfigRig bench;
    bench.rig.writeFile("restore.bin", patternBytes(100, 1));
    std::vector<std::string> arguments{"Velkoran.efi", "-c", "-f", "restore.bin"};
    if (*preserve != '\0') arguments.insert(arguments.end(), {"-r", preserve});
    const sim::RunResult run = bench.run(arguments);
    if (plain.empty()) plain = bench.requests();
    EXPECT_EQ(bench.requests(), plain) << preserve;
    EXPECT_EQ(run.console.substr(run.console.size() - kRestoreDone.size()), kRestoreDone);
  }
}

TEST(ConfigRestore, RestoreWinsOverBackupFile) {
  ConfigRig bench;
  bench.rig.writeFile("restore.bin", patternBytes(20, 1));
  bench.run({"Velkoran.efi", "-c", "-d", "backup.bin", "-f", "restore.bin"});
  EXPECT_EQ(bench.config.store, patternBytes(20, 1));
  EXPECT_FALSE(bench.rig.fileExists("backup.bin"));
}

struct RestoreCase {
  const char* name;
  std::function<void(sim::ConfigBmc&)> setUp;
  size_t fileLength;
  std::string console;  // after the two heading lines
  size_t blockRequests;
  bool aborted;
};

void PrintTo(const RestoreCase& scenario, std::ostream* out) { *out << scenario.name; }

std::vector<RestoreCase> restoreCases() {
  return {
      {"EmptyFile", [](sim::ConfigBmc&) {}, 0, totalLine(0) + kRestoreDone, 0, false},
      {"OneByte", [](sim::ConfigBmc&) {}, 1, totalLine(1) + progressLine(1, 100) + kRestoreDone,
       1, false},
      {"SequenceWrap", [](sim::ConfigBmc& c) { c.knobs.initialSequence = 0xFFFFFF; }, 90,
       totalLine(90) + progressLine(45, 50) + progressLine(90, 100) + kRestoreDone, 2, false},
      {"TaskFailStateHalfWay", [](sim::ConfigBmc& c) { c.knobs.failStateAtBlock = 1; }, 100,
       totalLine(100) + progressLine(45, 45) + "Error : TASK_FAIL_STATE\n" +
           progressLine(90, 90) + kFailed,
       2, true},
      {"UnsynchronizedSequence", [](sim::ConfigBmc& c) { c.knobs.wrongSequenceAtBlock = 2; }, 100,
       totalLine(100) + progressLine(45, 45) + progressLine(90, 90) +
           "Error : Unsynchronized sequence. Expected : 19, Received : 20\n" +
           progressLine(100, 100) + kFailed,
       3, true},
      {"ForeignTaskId", [](sim::ConfigBmc& c) { c.knobs.foreignTaskIdAtBlock = 0; }, 100,
       totalLine(100) + progressLine(45, 45) + kFailed, 1, true},
      // The block was not taken: it goes out again with its sequence.
      {"OtherStateIsSentAgain",
       [](sim::ConfigBmc& c) {
         c.knobs.otherStateAtBlock = 0;
         c.knobs.otherState = 4;
       },
       50,
       totalLine(50) + progressLine(0, 0) + progressLine(45, 90) + progressLine(50, 100) +
           kRestoreDone,
       3, false},
      {"BlockRequestFails",
       [](sim::ConfigBmc& c) { c.knobs.faults[ConfigOp::Block] = {0xC1, false, -1}; }, 100,
       totalLine(100) + repeat(kAbnormalC1, 5) + "Error: doIPMICmd failed\n" +
           progressLine(45, 45) + kFailed,
       5, true},
  };
}

class RestoreCases : public testing::TestWithParam<RestoreCase> {};

TEST_P(RestoreCases, ConsoleRequestsAndStore) {
  const RestoreCase& scenario = GetParam();
  ConfigRig bench(33);
  scenario.setUp(bench.config);
  const Bytes original = bench.config.store;
  const Bytes file = patternBytes(scenario.fileLength, 5);
  bench.rig.writeFile("restore.bin", file);
  const sim::RunResult run = bench.restore();

  // The driver's result says what its last line says.
  EXPECT_EQ(run.result, scenario.console.ends_with(kFailed) ? -1 : 0);
  EXPECT_EQ(run.console, kRestoreHead + scenario.console);
  EXPECT_EQ(bench.countRequests(ConfigOp::Block), scenario.blockRequests);
  EXPECT_EQ(bench.countRequests(ConfigOp::Abort), scenario.aborted ? 1u : 0u);
  if (scenario.aborted) {
    EXPECT_EQ(bench.requests().back(), Bytes{0x33});
  }
  const bool stored = !scenario.aborted && scenario.fileLength > 0;
  EXPECT_EQ(bench.config.store, stored ? file : original);
}

INSTANTIATE_TEST_SUITE_P(Config, RestoreCases, testing::ValuesIn(restoreCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigRestore, EmptyFileAnnouncesSizeZero) {
  ConfigRig bench;
  bench.rig.writeFile("restore.bin", Bytes{});
  bench.restore();
  const std::vector<Bytes> expected = {{0x06}, {0x01, 0x00, 0x00, 0x00, 0x00}, {0x32}};
  EXPECT_EQ(bench.requests(), expected);
}

TEST(ConfigRestore, SizeGoesOutLittleEndian) {
  ConfigRig bench;
  bench.rig.writeFile("restore.bin", patternBytes(0x1234, 2));
  bench.restore();
  EXPECT_EQ(bench.requests()[1], (Bytes{0x01, 0x34, 0x12, 0x00, 0x00}));
  EXPECT_EQ(bench.config.store, patternBytes(0x1234, 2));
}

}  // namespace
}  // namespace configtest
