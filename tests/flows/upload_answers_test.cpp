// Every kind of answer to each request that carries the image or asks for
// the flash progress: what is printed, the outcome class, and whether the
// BMC is cold-reset.
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "transport/ipmi_wire.h"

namespace flowtest {
namespace {

// The image below: chunks 1..3 carry region 0, 4..44 region 1, 45..5394
// region 2 (the table page, the last region).
constexpr int kLastChunkOfImage = 5394;
constexpr int kNever = 1 << 30;

const std::string kUploadStart =
    "Check if this file is valid................\nIf the FW update fails,PLEASE TRY AGAIN\n";
const std::string kComplete =
    "\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n";

class UploadAnswersTest : public FlowTest {
 public:
  UploadAnswersTest() { rebooting_ = bmc.available; }

  // Requests [from, from + count) of an OEM command get this completion
  // code and no data (std::nullopt: no answer at all); the rest are answered
  // as the firmware BMC does.
  void answer(uint8_t command, int from, int count, std::optional<uint8_t> code) {
    auto seen = std::make_shared<int>(0);
    bmc.available = [this, command, from, count, code, seen] {
      const Bytes& message = bmc.received.back();
      if (message.size() >= 2 && message[0] == 0xF8 && message[1] == command) {
        const int number = ++*seen;
        const uint16_t key = sim::commandKey(kNetFnLunOem, command);
        bmc.faults.completionCode.erase(key);
        bmc.faults.silent.erase(key);
        if (number >= from && number < from + count) {
          if (code) bmc.faults.completionCode[key] = *code;
          else bmc.faults.silent[key] = true;
        }
      }
      return !rebooting_ || rebooting_();
    };
  }

  // The progress replies in turn, the last one repeated.
  void answerProgress(std::vector<sim::Reply> replies) {
    auto polls = std::make_shared<size_t>(0);
    bmc.setHandler(kNetFnLunOem, kCmdGetFWUpdateProgress, [replies, polls](const sim::Request&) {
      const size_t poll = std::min((*polls)++, replies.size() - 1);
      return std::optional<sim::Reply>(replies[poll]);
    });
  }

  void update() {
    writeFile("fw.bin", makeImage(0xA000, 0, tableText({{0x8000, 100}, {0x9000, 2000}})));
    run({"-f", "fw.bin"});
  }

  // A fresh BMC with every firmware handler back in place.
  void fresh() {
    reset();
    bmc.faults = sim::Bmc::Faults{};
    bmc.available = rebooting_;
    handlers_ = std::make_unique<sim::FirmwareBmc>(bmc);
    handlers_->onUpdateComplete = [this] { rig.app.updateCompleted(); };
  }

 private:
  std::function<bool()> rebooting_;
  std::unique_ptr<sim::FirmwareBmc> handlers_;
};

std::string tailOf(const std::string& text) {
  return text.size() > 300 ? text.substr(text.size() - 300) : text;
}

std::string refused(const std::string& command, const std::string& code) {
  return "ERROR:THE BMC REFUSED \"" + command + "\" WITH COMPLETION CODE " + code + "\n";
}
std::string unanswered(const std::string& command, const std::string& code) {
  return "ERROR:THE BMC DID NOT ANSWER \"" + command + "\" (COMPLETION CODE " + code + ")\n";
}
std::string sendFailed(const std::string& command) {
  return kTransportError + "ERROR:SEND \"" + command + "\" COMMAND TO BMC FAILED\n";
}

struct AnswerCase {
  const char* name;
  uint8_t command;
  int number;                   // the request answered so, from 1
  int count;                    // how many in a row
  std::optional<uint8_t> code;  // std::nullopt: no answer
  std::string tail;             // the end of the console (before any cold reset line)
  RunOutcome outcome;
  int sent;                     // requests of the command in all
};

const std::string kBlockFail = "sendBlockInfo fail...\n";
const int kChunks = kLastChunkOfImage;

// Outcome class 0 cases end with the completion line; the others with the
// cold reset's line after `tail`.
const AnswerCase kCases[] = {
    // The block description.
    {"block busy, then taken", kCmdSendBlockInfo, 1, 5, 0xC0, kComplete, RunOutcome::kSuccess, 3 + 5},
    {"block busy throughout", kCmdSendBlockInfo, 1, kNever, 0xC0,
     kUploadStart + kBlockFail + refused("sendBlockInfo", "0xC0"), RunOutcome::kRefused, 6},
    {"block refused", kCmdSendBlockInfo, 1, 1, 0xC7,
     kUploadStart + kBlockFail + refused("sendBlockInfo", "0xC7"), RunOutcome::kRefused, 1},
    {"block of the last region refused", kCmdSendBlockInfo, 3, 1, 0xFE, kBlockFail + refused("sendBlockInfo", "0xFE"),
     RunOutcome::kRefused, 3},
    {"block timed out", kCmdSendBlockInfo, 1, 1, 0xC3,
     kUploadStart + kBlockFail + unanswered("sendBlockInfo", "0xC3"), RunOutcome::kNoAnswer, 1},
    {"block unanswered", kCmdSendBlockInfo, 1, 1, std::nullopt,
     kUploadStart + kTransportError + kBlockFail + "ERROR:SEND \"sendBlockInfo\" COMMAND TO BMC FAILED\n",
     RunOutcome::kNoAnswer, 1},
    // Not examined: the chunks follow (and this BMC, with no region open,
    // refuses them).
    {"block device-specific code", kCmdSendBlockInfo, 1, 1, 0x80,
     kUploadStart + refused("ReceiveFWData", "0xCC"), RunOutcome::kRefused, 1},
    // A full chunk.
    {"chunk busy, then taken", kCmdReceiveFWData, 1, 3, 0xC0, kComplete, RunOutcome::kSuccess, kChunks + 3},
    {"chunk busy throughout", kCmdReceiveFWData, 1, kNever, 0xC0,
     kUploadStart + refused("ReceiveFWData", "0xC0"), RunOutcome::kRefused, 6},
    {"chunk refused", kCmdReceiveFWData, 1, 1, 0xCC, kUploadStart + refused("ReceiveFWData", "0xCC"),
     RunOutcome::kRefused, 1},
    {"chunk rejected is no rejection", kCmdReceiveFWData, 1, 1, 0xCD,
     kUploadStart + refused("ReceiveFWData", "0xCD"), RunOutcome::kRefused, 1},
    {"chunk not present", kCmdReceiveFWData, 2, 1, 0xD2, kUploadStart + unanswered("ReceiveFWData", "0xD2"),
     RunOutcome::kNoAnswer, 2},
    {"chunk unanswered", kCmdReceiveFWData, 1, 1, std::nullopt, kUploadStart + sendFailed("ReceiveFWData"),
     RunOutcome::kNoAnswer, 1},
    {"chunk device-specific code", kCmdReceiveFWData, 1, 1, 0x01, kComplete, RunOutcome::kSuccess, kChunks},
    // The last chunk of a region before the last.
    {"region's last chunk refused", kCmdReceiveFWData, 3, 1, 0xC1,
     kUploadStart + refused("ReceiveFWData", "0xC1"), RunOutcome::kRefused, 3},
    {"region's last chunk busy, then taken", kCmdReceiveFWData, 3, 2, 0xC0, kComplete,
     RunOutcome::kSuccess, kChunks + 2},
    // The last chunk of the image, with a BMC that reports no progress.
    {"image's last chunk refused", kCmdReceiveFWData, kChunks, 1, 0xD5, refused("ReceiveFWData", "0xD5"),
     RunOutcome::kRefused, kChunks},
    {"image's last chunk timed out", kCmdReceiveFWData, kChunks, 1, 0xC3,
     unanswered("ReceiveFWData", "0xC3"), RunOutcome::kNoAnswer, kChunks},
    {"image's last chunk busy throughout", kCmdReceiveFWData, kChunks, kNever, 0xC0,
     refused("ReceiveFWData", "0xC0"), RunOutcome::kRefused, kChunks + 5},
};

TEST_F(UploadAnswersTest, EveryAnswerToTheUploadEndsAsItShould) {
  for (const AnswerCase& c : kCases) {
    SCOPED_TRACE(c.name);
    fresh();
    answer(c.command, c.number, c.count, c.code);
    bmc.faults.completionCode[sim::commandKey(kNetFnLunOem, kCmdGetFWUpdateProgress)] = 0xD5;  // not programming
    if (c.outcome == RunOutcome::kSuccess) bmc.faults.completionCode.clear();
    update();
    const bool success = c.outcome == RunOutcome::kSuccess;
    EXPECT_EQ(result, success ? 0 : -1);
    const std::string tail = c.tail + (success ? "" : kColdResetSuccess);
    EXPECT_TRUE(afterEcho().ends_with(tail)) << tailOf(afterEcho());
    if (c.tail.starts_with(kUploadStart)) {
      EXPECT_EQ(afterEcho(), tail);
    }
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    EXPECT_EQ(bmc.coldResets, success ? 0 : 1);
    // A busy BMC gets the same request again.
    const std::vector<Bytes> sent = requestsFor(c.command);
    ASSERT_EQ(sent.size(), size_t(c.sent));
    if (c.code == 0xC0) {
      EXPECT_EQ(sent[size_t(c.number)], sent[size_t(c.number) - 1]);
    }
  }
}

TEST_F(UploadAnswersTest, NoResetWhileTheBmcProgramsAfterAFailedLastChunk) {
  const std::string failed = refused("ReceiveFWData", "0xCC");
  const std::string following =
      "THE BMC REPORTS PROGRESS ALL THE SAME: NO COLD RESET, FOLLOWING IT\n";
  const std::string removeAc =
      "\n\n\nIf the FW update fails. PLEASE WAIT 5 MINS AND REMOVE THE AC...\n";
  // Not programming yet at the first question: it is asked again.
  answer(kCmdReceiveFWData, kLastChunkOfImage, 1, 0xCC);
  answerProgress({{0xD5, {}}, {0, {40}}, {0, {100}}});
  update();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(afterEcho().ends_with(failed + following + removeAc +
                                    "new firmware is updating...100%\r" + kComplete));
  EXPECT_EQ(bmc.coldResets, 0);
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kSuccess);
  EXPECT_EQ(bmc.countOf(kNetFnLunOem, kCmdGetFWUpdateProgress), 3);
}

TEST_F(UploadAnswersTest, TheProgressQuestionEndsAfterThirtySeconds) {
  answer(kCmdReceiveFWData, kLastChunkOfImage, 1, std::nullopt);
  bmc.faults.silent[sim::commandKey(kNetFnLunOem, kCmdGetFWUpdateProgress)] = true;
  update();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(bmc.coldResets, 1);
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kNoAnswer);
  EXPECT_NE(console.find("THE BMC HAS NOT ANSWERED FOR 10 SECONDS"), std::string::npos);
  // 10.5 s per unanswered question and 1 s between: the third one ends it.
  EXPECT_EQ(bmc.countOf(kNetFnLunOem, kCmdGetFWUpdateProgress), 3);
}

// Only a reply with code 0 and a byte counts as a percentage.
struct ProgressCase {
  const char* name;
  std::vector<sim::Reply> replies;
  RunOutcome outcome;
  std::string line;  // the last progress line
};

const ProgressCase kProgressCases[] = {
    {"done", {{0, {100}}}, RunOutcome::kSuccess, "new firmware is updating...100%\r"},
    {"error code with 100", {{0xD5, {100}}}, RunOutcome::kUnsettled,
     "new firmware is updating...0%\r"},
    {"busy with 100", {{0xC0, {100}}}, RunOutcome::kUnsettled, "new firmware is updating...0%\r"},
    {"no percentage", {{0, {}}}, RunOutcome::kUnsettled, "new firmware is updating...0%\r"},
    {"busy, then done", {{0xC0, {}}, {0, {100}}}, RunOutcome::kSuccess,
     "new firmware is updating...100%\r"},
};

TEST_F(UploadAnswersTest, ProgressCountsOnlyAPercentageWithCodeZero) {
  const std::string unsettled =
      "\nERROR: THE BMC STOPPED REPORTING PROGRESS, NONE FOR 600 SECONDS\n"
      "WARNING: DO NOT REMOVE THE POWER: THE BMC MAY STILL BE PROGRAMMING ITS FLASH; "
      "CHECK IT LATER WITH velkoran --bmc-info\n\n";
  for (const ProgressCase& c : kProgressCases) {
    SCOPED_TRACE(c.name);
    fresh();
    answerProgress(c.replies);
    update();
    const bool success = c.outcome == RunOutcome::kSuccess;
    EXPECT_EQ(result, success ? 0 : -1);
    EXPECT_TRUE(afterEcho().ends_with(c.line + (success ? kComplete : unsettled)));
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    EXPECT_EQ(bmc.coldResets, 0);
  }
}

}  // namespace
}  // namespace flowtest
