// The dump examines every answer: what each kind of completion code to the
// prepare, readiness and data requests does to the console, the outcome
// class and the file left.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "support/reply_script.h"

namespace flowtest {
namespace {

using testsupport::ReplyScript;
using testsupport::ScriptedReply;

constexpr uint8_t kPrepareDumpFlash = 0x1D;
constexpr uint8_t kCheckDumpFlashComplete = 0x1E;
constexpr uint8_t kGetDumpFlashData = 0x1F;

const std::string kPhase1 = "Phase1:Wait for BMC !!\n";
const std::string kPhase2 = "Phase2:Receive the flash data........... \n";
const std::string kPrepareFailed = "ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n";
const std::string kCheckFailed = "ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n";
const std::string kReceiveFailed = "ERROR: RECEIVE FLASH DATA FAILED\n\n";

std::string notice(unsigned seconds) {
  return "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO " +
         std::to_string(seconds) + " SECONDS\n";
}

// 227 bytes: four full chunks and a last one of 3, no progress line.
Bytes flashBytes() {
  Bytes bytes(56 * 4 + 3);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 11 + 5);
  return bytes;
}

const Bytes kEarlier(40, 0x5A);

class DumpAnswersTest : public FlowTest {
 protected:
  void dump() {
    writeFile("dump.bin", kEarlier);
    std::filesystem::remove(path("dump.bin.partial"));
    firmware.flash = flashBytes();
    run({"-d", path("dump.bin")});
  }
  // The file left: the flash in its place, or the earlier file kept and
  // `partial` bytes of the flash (nullopt: none) under the temporary name.
  void expectFiles(std::optional<size_t> partial, bool complete) {
    if (complete) {
      EXPECT_EQ(readFile("dump.bin"), firmware.flash);
      EXPECT_FALSE(std::filesystem::exists(path("dump.bin.partial")));
      return;
    }
    EXPECT_EQ(readFile("dump.bin"), kEarlier);
    EXPECT_EQ(std::filesystem::exists(path("dump.bin.partial")), partial.has_value());
    if (partial) {
      EXPECT_EQ(readFile("dump.bin.partial"),
                Bytes(firmware.flash.begin(), firmware.flash.begin() + long(*partial)));
    }
  }
};

struct PrepareCase {
  const char* name;
  std::function<void(FlowTest&)> arrange;
  std::string printed;  // up to the phase 2 line, or all when it ends
  bool goesOn;
};

// The codes with which the BMC says it did not prepare end the dump before
// any question; a busy or silent BMC is asked anyway.
TEST_F(DumpAnswersTest, PrepareRefusalsEndTheDumpAtOnce) {
  const auto code = [](uint8_t c) {
    return [c](FlowTest& t) { t.firmware.knobs.prepareCompletionCode = c; };
  };
  const PrepareCase cases[] = {
      {"invalid command 0xC1", code(0xC1), kPrepareFailed, false},
      {"invalid field 0xCC", code(0xCC), kPrepareFailed, false},
      {"not in this state 0xD5", code(0xD5), kPrepareFailed, false},
      {"node busy 0xC0", code(0xC0), kPrepareFailed + kPhase1 + kPhase2, true},
      {"unanswered",
       [](FlowTest& t) { t.firmware.knobs.unanswered = {{kPrepareDumpFlash, 1}}; },
       kTransportError + kPrepareFailed + kPhase1 + kPhase2, true},
  };
  for (const PrepareCase& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    c.arrange(*this);
    dump();
    const std::string printed = afterEcho();
    EXPECT_EQ(printed.substr(0, c.printed.size()), c.printed);
    EXPECT_EQ(printed.size() > c.printed.size(), c.goesOn);
    EXPECT_EQ(bmc.countOf(0xF8, kCheckDumpFlashComplete), c.goesOn ? 1 : 0);
    EXPECT_EQ(toolContext.runRecord.outcome,
              c.goesOn ? RunOutcome::kSuccess : RunOutcome::kRefused);
    expectFiles(std::nullopt, c.goesOn);
  }
}

// A question the BMC answers with an error is asked again; one it lacks
// ends the dump; a silence says so once.
TEST_F(DumpAnswersTest, ReadinessAnswersAreAskedAgainOrEndTheDump) {
  struct Case {
    const char* name;
    std::vector<uint8_t> codes;
    int unanswered;  // first questions without an answer
    std::string printed;  // after the phase 1 line, up to the phase 2 line
    RunOutcome outcome;
  };
  const Case cases[] = {
      {"node busy, then not now", {0xC0, 0xD5}, 0, kCheckFailed + kCheckFailed + kPhase2,
       RunOutcome::kSuccess},
      {"made-up no-answer codes", {0xC3, 0xD2, 0xFF}, 0,
       kCheckFailed + kCheckFailed + notice(1155) + kCheckFailed + kPhase2,
       RunOutcome::kSuccess},
      {"invalid command", {0xC1}, 0, kCheckFailed, RunOutcome::kRefused},
      // Begun at 50 s with the 1150 s left, one interval and one try.
      {"silent three times", {}, 3,
       kTransportError + notice(1155) + kCheckFailed + kTransportError + kCheckFailed +
           kTransportError + kCheckFailed + kPhase2,
       RunOutcome::kSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    firmware.knobs.checkCompletionCodes = c.codes;
    for (int n = 1; n <= c.unanswered; ++n) {
      firmware.knobs.unanswered.insert({kCheckDumpFlashComplete, n});
    }
    dump();
    const std::string expected = kPhase1 + c.printed;
    EXPECT_EQ(afterEcho().substr(0, expected.size()), expected);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    expectFiles(std::nullopt, c.outcome == RunOutcome::kSuccess);
  }
}

const std::vector<uint8_t> kChunkOfJunk = [] {
  std::vector<uint8_t> bytes(57, 0xEE);
  bytes[0] = 0;  // "more follow"
  return bytes;
}();

ScriptedReply dataReply(int request, int result, std::optional<std::vector<uint8_t>> data = {}) {
  return {kGetDumpFlashData, request, false, result, std::move(data), std::nullopt};
}

struct DataCase {
  const char* name;
  std::vector<ScriptedReply> script;
  std::function<void(sim::FirmwareBmc::Knobs&)> arrange;
  std::string printed;  // after the length line
  RunOutcome outcome;
  std::optional<size_t> partial;  // flash bytes left under the temporary name
};

std::vector<ScriptedReply> everyTry(int from, int result,
                                    std::optional<std::vector<uint8_t>> data = {}) {
  std::vector<ScriptedReply> script;
  for (int n = from; n < from + 5; ++n) script.push_back(dataReply(n, result, data));
  return script;
}

const auto kNoKnobs = [](sim::FirmwareBmc::Knobs&) {};

// Data is taken only with completion code 0: an error code never puts its
// bytes into the file, and the class tells a BMC that answered (4) from one
// that did not (3).
TEST_F(DumpAnswersTest, DataIsTakenOnlyWithCompletionCodeZero) {
  const DataCase cases[] = {
      {"0xC0 with a chunk's bytes, then the chunk", {dataReply(2, 0xC0, kChunkOfJunk)}, kNoKnobs,
       "", RunOutcome::kSuccess, std::nullopt},
      {"0xC0 with bytes five times", everyTry(1, 0xC0, kChunkOfJunk), kNoKnobs, kReceiveFailed,
       RunOutcome::kRefused, 0},
      {"0xCC with a last chunk's bytes, from chunk 2", everyTry(2, 0xCC, {{1, 0xEE, 0xEE}}),
       kNoKnobs, kReceiveFailed, RunOutcome::kRefused, 56},
      {"command-specific 0x80", everyTry(1, 0x80, kChunkOfJunk), kNoKnobs, kReceiveFailed,
       RunOutcome::kRefused, 0},
      {"0xC3 made up by the link", everyTry(1, 0xC3), kNoKnobs, kReceiveFailed,
       RunOutcome::kNoAnswer, 0},
      {"0xD2 made up by the kernel", everyTry(1, 0xD2), kNoKnobs, kReceiveFailed,
       RunOutcome::kNoAnswer, 0},
      {"0xFF", everyTry(1, 0xFF, kChunkOfJunk), kNoKnobs, kReceiveFailed, RunOutcome::kNoAnswer,
       0},
      {"short replies with code 0", {},
       [](auto& k) {
         for (int n = 3; n <= 7; ++n) k.dataFaults[n] = sim::FirmwareBmc::DataFault::kShort;
       },
       kReceiveFailed, RunOutcome::kRefused, 112},
      // Five tries of 10 s and 1 s: 45 s are left after the first.
      {"silent", {},
       [](auto& k) {
         for (int n = 1; n <= 5; ++n) k.unanswered.insert({kGetDumpFlashData, n});
       },
       kTransportError + notice(45) + kTransportError + kTransportError + kTransportError +
           kTransportError + kReceiveFailed,
       RunOutcome::kNoAnswer, 0},
  };
  for (const DataCase& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    ReplyScript script(c.script);
    c.arrange(firmware.knobs);
    dump();
    EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "length=0xe3\n" + c.printed);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    expectFiles(c.partial, c.outcome == RunOutcome::kSuccess);
  }
}

// Without a reported length only the bytes themselves show a dump: a BMC
// that marks its first reply as the last, with no data, has given none.
TEST_F(DumpAnswersTest, DumpWithoutAnyByteIsNoSuccess) {
  for (size_t flashSize : {0, 1}) {
    SCOPED_TRACE(flashSize);
    reset();
    firmware.knobs.reportedDumpLength = 0;
    writeFile("dump.bin", kEarlier);
    firmware.flash = Bytes(flashSize, 0x42);
    run({"-d", path("dump.bin")});
    const bool succeeds = flashSize > 0;
    EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "length=0x0\n" + (succeeds ? "" : kReceiveFailed));
    EXPECT_EQ(toolContext.runRecord.outcome,
              succeeds ? RunOutcome::kSuccess : RunOutcome::kRefused);
    EXPECT_EQ(readFile("dump.bin"), succeeds ? firmware.flash : kEarlier);
  }
}

}  // namespace
}  // namespace flowtest
