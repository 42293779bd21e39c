// Configuration backup against the simulated BMC: the wire bytes, the file
// and the console text.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "config_rig.h"
#include "platform/host/host.h"

namespace configtest {
namespace {

using sim::ConfigOp;

Bytes withData(Bytes head, const Bytes& store, size_t from, size_t count) {
  head.insert(head.end(), store.begin() + static_cast<long>(from),
              store.begin() + static_cast<long>(from + count));
  return head;
}

TEST(ConfigBackup, HundredBytesRequestByRequest) {
  ConfigRig bench;
  bench.config.knobs.backupChunkLengths = {60, 40};
  const sim::RunResult run = bench.backup();

  EXPECT_EQ(run.result, 0);
  const std::vector<Bytes> expectedRequests = {
      {0x06}, {0x00}, {0x32}, {0x33, 0x10, 0x00, 0x00}, {0x33, 0x11, 0x00, 0x00}};
  EXPECT_EQ(bench.requests(), expectedRequests);
  const Bytes& store = bench.config.store;
  const std::vector<std::optional<Bytes>> expectedReplies = {
      Bytes{0xFC, 0x20, 0x00, 0x00},
      Bytes{0xFC, 0x20, 0x00, 0x32},
      Bytes{0xFC, 0x20, 0x00, 0x34, 0x10, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00},
      withData({0xFC, 0x20, 0x00, 0x34, 0x11, 0x00, 0x00}, store, 0, 60),
      withData({0xFC, 0x20, 0x00, 0x38, 0x12, 0x00, 0x00}, store, 60, 40),
  };
  EXPECT_EQ(bench.rig.bmc.replies, expectedReplies);
  EXPECT_EQ(run.console,
            "=== IPMI Configuration Backup Mode ===\n"
            "Data preparing........\n"
            "Total data length :       100\n"
            "Bytes Processed data length : 0x  3c Bytes Transmit Progress :   60 %\r"
            "Bytes Processed data length : 0x  64 Bytes Transmit Progress :  100 %\r"
            "Done.\n");
  EXPECT_EQ(bench.rig.readFile("backup.bin"), store);
  EXPECT_TRUE(bench.config.violations.empty());
}

struct BackupCase {
  const char* name;
  std::function<void(sim::ConfigBmc&)> setUp;
  size_t storeLength;
  std::string console;  // after the two heading lines
  size_t fileLength;    // a prefix of the store
  size_t blockRequests;
  bool aborted;
};

const std::string kNoValidLength = "ERROR: THE BMC GAVE NO VALID BACKUP LENGTH\n\n";

void PrintTo(const BackupCase& scenario, std::ostream* out) { *out << scenario.name; }

std::vector<BackupCase> backupCases() {
  return {
      {"LengthZero", [](sim::ConfigBmc& c) { c.knobs.announcedLength = 0; }, 100,
       totalLine(0) + kBackupDone, 0, 0, false},
      {"NegativeLength", [](sim::ConfigBmc& c) { c.knobs.announcedLength = -5; }, 100,
       kNoValidLength + kFailed, 0, 0, true},
      {"BitThirtyOneLength",
       [](sim::ConfigBmc& c) { c.knobs.announcedLength = static_cast<int32_t>(0x80000064); }, 100,
       kNoValidLength + kFailed, 0, 0, true},
      {"FortyFourOfFortyFive", [](sim::ConfigBmc& c) { c.knobs.backupChunkLengths = {44, 1}; },
       45, totalLine(45) + progressLine(44, 97) + progressLine(45, 100) + kBackupDone, 45, 2,
       false},
      {"FiveEmptyRepliesThenData",
       [](sim::ConfigBmc& c) {
         c.knobs.emptyRepliesAtBlock = 1;
         c.knobs.emptyReplyCount = 5;
       },
       100,
       totalLine(100) + repeat(progressLine(60, 60), 6) + progressLine(100, 100) + kBackupDone,
       100, 7, false},
      {"SixEmptyReplies",
       [](sim::ConfigBmc& c) {
         c.knobs.emptyRepliesAtBlock = 1;
         c.knobs.emptyReplyCount = 6;
       },
       100,
       totalLine(100) + repeat(progressLine(60, 60), 6) + "Retransmission failed 6 times.\n" + progressLine(60, 60) + kFailed,
       60, 7, true},
      {"ReplyPastTheTotal", [](sim::ConfigBmc& c) { c.knobs.announcedLength = 50; }, 100,
       totalLine(50) + progressLine(60, 120) + kBackupDone, 60, 1, false},
      {"TaskFailState", [](sim::ConfigBmc& c) { c.knobs.failStateAtBlock = 0; }, 100,
       totalLine(100) + "Error : TASK_FAIL_STATE\n" + progressLine(0, 0) + kFailed, 0, 1, true},
      // The failure line adds the last block's length once more.
      {"TaskFailStateLater", [](sim::ConfigBmc& c) { c.knobs.failStateAtBlock = 1; }, 100,
       totalLine(100) + progressLine(60, 60) + "Error : TASK_FAIL_STATE\n" +
           progressLine(120, 120) + kFailed,
       60, 2, true},
      {"UnsynchronizedSequence", [](sim::ConfigBmc& c) { c.knobs.wrongSequenceAtBlock = 0; }, 100,
       totalLine(100) + "Error : Unsynchronized sequence. Expected : 17, Received : 18\n" +
           progressLine(0, 0) + kFailed,
       0, 1, true},
      {"ForeignTaskId", [](sim::ConfigBmc& c) { c.knobs.foreignTaskIdAtBlock = 0; }, 100,
       totalLine(100) + progressLine(0, 0) + kFailed, 0, 1, true},
      {"OtherStateIsRetransmitted",
       [](sim::ConfigBmc& c) {
         c.knobs.otherStateAtBlock = 1;
         c.knobs.otherStateCount = 2;
       },
       100,
       totalLine(100) + repeat(progressLine(60, 60), 3) + progressLine(100, 100) + kBackupDone,
       100, 4, false},
      {"OtherStateForEver",
       [](sim::ConfigBmc& c) {
         c.knobs.otherStateAtBlock = 0;
         c.knobs.otherState = 0;
         c.knobs.otherStateCount = 1000;
       },
       100,
       totalLine(100) + repeat(progressLine(0, 0), 5) + "Retransmission failed 6 times.\n" +
           progressLine(0, 0) + kFailed,
       0, 6, true},
      {"EmptyAndOtherStateShareTheLimit",
       [](sim::ConfigBmc& c) {
         c.knobs.emptyRepliesAtBlock = 0;
         c.knobs.emptyReplyCount = 3;
         c.knobs.otherStateAtBlock = 0;
         c.knobs.otherStateCount = 3;
       },
       100,
       totalLine(100) + repeat(progressLine(0, 0), 5) + "Retransmission failed 6 times.\n" +
           progressLine(0, 0) + kFailed,
       0, 6, true},
      {"BlockRequestFails",
       [](sim::ConfigBmc& c) { c.knobs.faults[ConfigOp::Block] = {0xC1, false, -1}; }, 100,
       totalLine(100) + repeat(kAbnormalC1, 5) + "Error: doIPMICmd failed\n" +
           progressLine(0, 0) + kFailed,
       0, 5, true},
  };
}

class BackupCases : public testing::TestWithParam<BackupCase> {};

TEST_P(BackupCases, ConsoleFileAndRequests) {
  const BackupCase& scenario = GetParam();
  ConfigRig bench(scenario.storeLength);
  scenario.setUp(bench.config);
  const sim::RunResult run = bench.backup();

  const std::string expected = kBackupHead + scenario.console;
  // The driver's result says what its last line says.
  EXPECT_EQ(run.result, scenario.console.ends_with(kFailed) ? -1 : 0);
  EXPECT_EQ(run.console, expected);
  const Bytes& store = bench.config.store;
  // A failed backup leaves what arrived under the temporary name only.
  EXPECT_EQ(bench.rig.readFile(scenario.aborted ? "backup.bin.partial" : "backup.bin"),
            Bytes(store.begin(), store.begin() + static_cast<long>(scenario.fileLength)));
  EXPECT_EQ(bench.rig.fileExists("backup.bin"), !scenario.aborted);
  EXPECT_EQ(bench.countRequests(ConfigOp::Block), scenario.blockRequests);
  EXPECT_EQ(bench.countRequests(ConfigOp::Abort), scenario.aborted ? 1u : 0u);
  if (scenario.aborted) {
    EXPECT_EQ(bench.requests().back(), Bytes{0x33});
  }
  EXPECT_TRUE(bench.config.violations.empty());
}

INSTANTIATE_TEST_SUITE_P(Config, BackupCases, testing::ValuesIn(backupCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigBackup, SequenceWrapsToZero) {
  ConfigRig bench;
  bench.config.knobs.initialSequence = 0xFFFFFF;
  bench.config.knobs.backupChunkLengths = {60, 40};
  const sim::RunResult run = bench.backup();

  const std::vector<Bytes> requests = bench.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[3], (Bytes{0x33, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(requests[4], (Bytes{0x33, 0x00, 0x00, 0x00}));
  EXPECT_EQ(run.console, kBackupHead + totalLine(100) + progressLine(60, 60) +
                             progressLine(100, 100) + kBackupDone);
  EXPECT_EQ(bench.rig.readFile("backup.bin"), bench.config.store);
}

TEST(ConfigBackup, EmptyRepliesRetransmitTheSameSequence) {
  ConfigRig bench;
  bench.config.knobs.emptyRepliesAtBlock = 1;
  bench.config.knobs.emptyReplyCount = 5;
  bench.config.knobs.initialSequence = 0x123456;
  bench.backup();

  std::vector<Bytes> blocks;
  for (const Bytes& data : bench.requests()) {
    if (sim::classifyConfigRequest(data) == ConfigOp::Block) blocks.push_back(data);
  }
  ASSERT_EQ(blocks.size(), 7u);
  EXPECT_EQ(blocks[0], (Bytes{0x33, 0x56, 0x34, 0x12}));
  for (size_t i = 1; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], (Bytes{0x33, 0x57, 0x34, 0x12}));
}

TEST(ConfigBackup, ExistingFileIsTruncated) {
  ConfigRig bench(10);
  bench.rig.writeFile("backup.bin", patternBytes(500, 9));
  bench.backup();
  EXPECT_EQ(bench.rig.readFile("backup.bin"), bench.config.store);
}

TEST(ConfigBackup, BlocksTakeTheTaskIdTheBmcGave) {
  ConfigRig bench;
  bench.config.knobs.taskId = 15;
  bench.config.knobs.backupChunkLengths = {100};
  bench.backup();
  const std::vector<Bytes> expected = {{0x06}, {0x00}, {0xF2}, {0xF3, 0x10, 0x00, 0x00}};
  EXPECT_EQ(bench.requests(), expected);
  EXPECT_EQ(bench.rig.readFile("backup.bin"), bench.config.store);
}

}  // namespace
}  // namespace configtest
