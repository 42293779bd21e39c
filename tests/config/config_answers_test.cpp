// The configuration task examines every answer: each kind of completion code
// to the start and block requests, replies in a state that neither takes a
// block nor fails the task, and start replies without a usable length.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "config_rig.h"
#include "state/tool_context.h"
#include "support/reply_script.h"

namespace configtest {
namespace {

using sim::ConfigOp;

std::string abnormal(const char* value) {
  return std::string("[doIPMICmd] Abnormal. CompCode == 0x") + value + "\n";
}

const std::string kDoIpmiFailed = "Error: doIPMICmd failed\n";
const std::string kTransportError = "ERROR !! BMC did not in correct state\n";

std::string notice(unsigned seconds) {
  return "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO " +
         std::to_string(seconds) + " SECONDS\n";
}

struct CodeCase {
  const char* name;
  ConfigOp op;
  sim::ConfigOpFault fault;
  std::string printed;  // after the heading lines, up to "Operation Failed."
  RunOutcome outcome;
};

// Five refused or unanswered tries fail the backup: the BMC that answered
// is told apart from the one that did not, and no file takes the place.
TEST(ConfigAnswers, CompletionCodesOfStartAndBlockRequests) {
  const CodeCase cases[] = {
      {"start: node busy", ConfigOp::Start, {0xC0, false, -1},
       repeat(abnormal("c0"), 5) + kDoIpmiFailed, RunOutcome::kRefused},
      {"start: invalid field", ConfigOp::Start, {0xCC, false, -1},
       repeat(abnormal("cc"), 5) + kDoIpmiFailed, RunOutcome::kRefused},
      {"start: timeout made up by the link", ConfigOp::Start, {0xC3, false, -1},
       repeat(abnormal("c3"), 5) + kDoIpmiFailed, RunOutcome::kNoAnswer},
      // Tries of 10 s, 2 s apart: 50 s of the 60 are left after the first.
      {"start: silent", ConfigOp::Start, {std::nullopt, true, -1},
       kTransportError + notice(50) + abnormal("ffffffff") +
           repeat(kTransportError + abnormal("ffffffff"), 4) + kDoIpmiFailed,
       RunOutcome::kNoAnswer},
      {"block: 0xD2 made up by the kernel", ConfigOp::Block, {0xD2, false, -1},
       totalLine(100) + repeat(abnormal("d2"), 5) + kDoIpmiFailed + progressLine(0, 0),
       RunOutcome::kNoAnswer},
      {"block: 0xFF", ConfigOp::Block, {0xFF, false, -1},
       totalLine(100) + repeat(abnormal("ff"), 5) + kDoIpmiFailed + progressLine(0, 0),
       RunOutcome::kNoAnswer},
      {"block: not now", ConfigOp::Block, {0xD5, false, -1},
       totalLine(100) + repeat(abnormal("d5"), 5) + kDoIpmiFailed + progressLine(0, 0),
       RunOutcome::kRefused},
  };
  for (const CodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigRig bench;
    // A request that timed out leaves the interface ready for the abort.
    bench.rig.kcs.faults.silentRecoveryMicros = 10'500'000;
    bench.config.knobs.faults[c.op] = c.fault;
    const sim::RunResult run = bench.backup();
    EXPECT_EQ(run.console, kBackupHead + c.printed + kFailed);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    EXPECT_FALSE(bench.rig.fileExists("backup.bin"));
    EXPECT_EQ(bench.rig.readFile("backup.bin.partial"), Bytes{});
  }
}

// A restore block answered in a state that neither takes it nor fails the
// task goes out again, byte for byte, up to six times in all.
TEST(ConfigAnswers, RestoreBlockInAnotherStateIsSentAgain) {
  struct Case {
    const char* name;
    uint8_t state;
    int count;
    std::string printed;  // after the total line
    size_t blockRequests;
    bool restored;
  };
  const Case cases[] = {
      {"state 4 five times", 4, 5,
       repeat(progressLine(0, 0), 5) + progressLine(45, 90) + progressLine(50, 100) +
           kRestoreDone,
       7, true},
      {"state 1 for ever", 1, 1000,
       repeat(progressLine(0, 0), 5) + "Retransmission failed 6 times.\n" + progressLine(0, 0) +
           kFailed,
       6, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigRig bench(33);
    bench.config.knobs.otherStateAtBlock = 0;
    bench.config.knobs.otherState = c.state;
    bench.config.knobs.otherStateCount = c.count;
    const Bytes original = bench.config.store;
    const Bytes file = patternBytes(50, 5);
    bench.rig.writeFile("restore.bin", file);
    const sim::RunResult run = bench.restore();

    EXPECT_EQ(run.console, kRestoreHead + totalLine(50) + c.printed);
    EXPECT_EQ(toolContext.runRecord.outcome,
              c.restored ? RunOutcome::kSuccess : RunOutcome::kRefused);
    EXPECT_EQ(bench.config.store, c.restored ? file : original);
    std::vector<Bytes> blocks;
    for (const Bytes& data : bench.requests()) {
      if (sim::classifyConfigRequest(data) == ConfigOp::Block) blocks.push_back(data);
    }
    ASSERT_EQ(blocks.size(), c.blockRequests);
    const size_t resent = std::min<size_t>(size_t(c.count), 5) + 1;
    for (size_t n = 1; n < resent; ++n) EXPECT_EQ(blocks[n], blocks[0]);
    EXPECT_EQ(bench.countRequests(ConfigOp::Abort), c.restored ? 0u : 1u);
    EXPECT_TRUE(bench.config.violations.empty());
  }
}

// The start reply carries the backup's length in bytes 4 to 7: without them
// the backup fails (as with a negative one); a length of 0 is an empty one.
TEST(ConfigAnswers, BackupNeedsAUsableLengthFromTheStartReply) {
  struct Case {
    const char* name;
    std::optional<int32_t> announced;
    std::optional<int32_t> startReplyLength;  // cut short on the way
    bool succeeds;
  };
  const Case cases[] = {
      {"seven bytes", std::nullopt, 7, false},
      {"status byte only", std::nullopt, 1, false},
      {"zero", 0, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigRig bench;
    bench.config.knobs.announcedLength = c.announced;
    std::vector<testsupport::ScriptedReply> script;
    // The start is the third configuration request.
    if (c.startReplyLength) script.push_back({0x20, 3, true, 0, std::nullopt, c.startReplyLength});
    testsupport::ReplyScript replies(script);
    const sim::RunResult run = bench.backup();

    EXPECT_EQ(run.console,
              kBackupHead + (c.succeeds ? totalLine(0) + kBackupDone
                                        : "ERROR: THE BMC GAVE NO VALID BACKUP LENGTH\n\n" +
                                              kFailed));
    EXPECT_EQ(toolContext.runRecord.outcome,
              c.succeeds ? RunOutcome::kSuccess : RunOutcome::kRefused);
    EXPECT_EQ(bench.countRequests(ConfigOp::Block), 0u);
    EXPECT_EQ(bench.countRequests(ConfigOp::Abort), c.succeeds ? 0u : 1u);
    EXPECT_EQ(bench.rig.fileExists("backup.bin"), c.succeeds);
    if (c.succeeds) {
      EXPECT_EQ(bench.rig.readFile("backup.bin"), Bytes{});
    }
  }
}

}  // namespace
}  // namespace configtest
