// The configuration task examines every answer: each kind of completion code
// to the start and block requests, restore blocks answered in a state that
// neither takes them nor fails the task, start replies without a length.
#include <gtest/gtest.h>

#include <string>

#include "config_rig.h"
#include "state/tool_context.h"
#include "support/reply_script.h"

namespace configtest {
namespace {

using sim::ConfigOp;

std::string failedTries(const std::string& value) {
  return repeat("[doIPMICmd] Abnormal. CompCode == 0x" + value + "\n", 5) +
         "Error: doIPMICmd failed\n";
}

// The BMC that answered is told apart from the one that did not; no file
// takes the backup's place.
TEST(ConfigAnswers, CompletionCodesOfStartAndBlockRequests) {
  struct Case {
    ConfigOp op;
    uint8_t code;
    std::string printed;  // after the heading lines, up to "Operation Failed."
    RunOutcome outcome;
  };
  const std::string blocks = totalLine(100);
  const Case cases[] = {
      {ConfigOp::Start, 0xC0, failedTries("c0"), RunOutcome::kRefused},
      {ConfigOp::Start, 0xC3, failedTries("c3"), RunOutcome::kNoAnswer},
      {ConfigOp::Block, 0xD5, blocks + failedTries("d5") + progressLine(0, 0),
       RunOutcome::kRefused},
      {ConfigOp::Block, 0xD2, blocks + failedTries("d2") + progressLine(0, 0),
       RunOutcome::kNoAnswer},
      {ConfigOp::Block, 0xFF, blocks + failedTries("ff") + progressLine(0, 0),
       RunOutcome::kNoAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    ConfigRig bench;
    bench.config.knobs.faults[c.op] = {c.code, false, -1};
    EXPECT_EQ(bench.backup().console, kBackupHead + c.printed + kFailed);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    EXPECT_FALSE(bench.rig.fileExists("backup.bin"));
    EXPECT_EQ(bench.rig.readFile("backup.bin.partial"), Bytes{});
  }
}

// The same block, sequence and bytes, goes out six times in all; then the
// task is aborted and nothing counts as restored.
TEST(ConfigAnswers, RestoreBlockNeverTakenFailsTheRestore) {
  ConfigRig bench(33);
  bench.config.knobs.otherStateAtBlock = 0;
  bench.config.knobs.otherState = 1;
  bench.config.knobs.otherStateCount = 1000;
  const Bytes original = bench.config.store;
  bench.rig.writeFile("restore.bin", patternBytes(50, 5));
  const sim::RunResult run = bench.restore();

  EXPECT_EQ(run.console, kRestoreHead + totalLine(50) + repeat(progressLine(0, 0), 5) +
                             "Retransmission failed 6 times.\n" + progressLine(0, 0) + kFailed);
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kRefused);
  EXPECT_EQ(bench.config.store, original);
  const std::vector<Bytes> requests = bench.requests();
  ASSERT_EQ(requests.size(), 3u + 6u + 1u);  // reset, open, start; blocks; abort
  for (size_t n = 4; n < 9; ++n) EXPECT_EQ(requests[n], requests[3]);
  EXPECT_EQ(requests[3].size(), 4u + 45u);
}

// Bytes 4 to 7 of the start reply are the backup's length: a reply without
// them fails the backup (as a negative length does) and places no file.
TEST(ConfigAnswers, StartReplyWithoutTheLengthFailsTheBackup) {
  for (int32_t length : {7, 1}) {
    SCOPED_TRACE(length);
    ConfigRig bench;
    // The start is the third configuration request.
    testsupport::ReplyScript script({{0x20, 3, true, 0, std::nullopt, length}});
    EXPECT_EQ(bench.backup().console,
              kBackupHead + "ERROR: THE BMC GAVE NO VALID BACKUP LENGTH\n\n" + kFailed);
    EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kRefused);
    EXPECT_EQ(bench.countRequests(ConfigOp::Block), 0u);
    EXPECT_EQ(bench.requests().back(), Bytes{0x33});  // the abort
    EXPECT_FALSE(bench.rig.fileExists("backup.bin"));
  }
}

}  // namespace
}  // namespace configtest
