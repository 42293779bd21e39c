// Dump data is taken only with completion code 0: what each kind of answer
// to a data request does to the console, the outcome class and the files.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "support/reply_script.h"

namespace flowtest {
namespace {

using testsupport::ScriptedReply;

const std::string kReceiveFailed = "ERROR: RECEIVE FLASH DATA FAILED\n\n";
const Bytes kEarlier(40, 0x5A);
const std::vector<uint8_t> kJunkChunk = [] {
  std::vector<uint8_t> bytes(57, 0xEE);
  bytes[0] = 0;  // "more follow"
  return bytes;
}();

// Answers data requests first..first+count-1 (counted from 1) in the BMC's place.
std::vector<ScriptedReply> answered(int first, int count, int result,
                                    std::optional<std::vector<uint8_t>> data = {}) {
  std::vector<ScriptedReply> script;
  for (int n = first; n < first + count; ++n) script.push_back({0x1F, n, false, result, data, {}});
  return script;
}

struct DataCase {
  const char* name;
  std::vector<ScriptedReply> script;
  std::string printed;  // after the length line
  RunOutcome outcome;
  size_t kept;  // flash bytes under the temporary name after a failure
};

class DumpAnswersTest : public FlowTest {};

TEST_F(DumpAnswersTest, DataIsTakenOnlyWithCompletionCodeZero) {
  const DataCase cases[] = {
      {"0xC0 with a chunk's bytes, then the chunk", answered(2, 1, 0xC0, kJunkChunk), "",
       RunOutcome::kSuccess, 0},
      {"0xC0 with bytes, five times", answered(1, 5, 0xC0, kJunkChunk), kReceiveFailed,
       RunOutcome::kRefused, 0},
      {"0xCC with a last chunk's bytes, from chunk 2",
       answered(2, 5, 0xCC, std::vector<uint8_t>{1, 0xEE}), kReceiveFailed, RunOutcome::kRefused,
       56},
      {"command-specific 0x80", answered(1, 5, 0x80, kJunkChunk), kReceiveFailed,
       RunOutcome::kRefused, 0},
      {"0xC3 made up by the link", answered(1, 5, 0xC3), kReceiveFailed, RunOutcome::kNoAnswer, 0},
      {"0xD2 made up by the kernel", answered(1, 5, 0xD2), kReceiveFailed, RunOutcome::kNoAnswer,
       0},
      {"0xFF with bytes", answered(1, 5, 0xFF, kJunkChunk), kReceiveFailed, RunOutcome::kNoAnswer,
       0},
  };
  for (const DataCase& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    testsupport::ReplyScript script(c.script);
    writeFile("dump.bin", kEarlier);
    firmware.flash = Bytes(56 * 4 + 3, 0x42);  // no progress line
    run({"-d", path("dump.bin")});
    EXPECT_EQ(afterEcho(), "Phase1:Wait for BMC !!\nPhase2:Receive the flash data........... \n"
                           "length=0xe3\n" + c.printed);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    const bool succeeded = c.outcome == RunOutcome::kSuccess;
    EXPECT_EQ(readFile("dump.bin"), succeeded ? firmware.flash : kEarlier);
    EXPECT_EQ(std::filesystem::exists(path("dump.bin.partial")), !succeeded);
    if (!succeeded) {
      EXPECT_EQ(readFile("dump.bin.partial"), Bytes(c.kept, 0x42));
    }
    std::filesystem::remove(path("dump.bin.partial"));
  }
}

// Without a reported length only the bytes show a dump: a first reply that
// is the last one and holds nothing gave none.
TEST_F(DumpAnswersTest, DumpWithoutAnyByteIsNoSuccess) {
  firmware.knobs.reportedDumpLength = 0;
  writeFile("dump.bin", kEarlier);
  run({"-d", path("dump.bin")});
  EXPECT_TRUE(afterEcho().ends_with("length=0x0\n" + kReceiveFailed));
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kRefused);
  EXPECT_EQ(readFile("dump.bin"), kEarlier);
}

}  // namespace
}  // namespace flowtest
