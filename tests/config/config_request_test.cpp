// The configuration request: attempts, state checks and delays of doIPMICmd.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "sim/rig.h"
#include "config/config_request.h"
#include "transport/ipmi_wire.h"

namespace {

const std::string kStateError = "ERROR !! BMC did not in correct state\n";
const std::string kFailed = "Error: doIPMICmd failed\n";
const std::string kNoData = "Error: inlen <= 0\n";

std::string abnormal(const char* code) {
  return std::string("[doIPMICmd] Abnormal. CompCode == 0x") + code + "\n";
}

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// One scripted answer to the configuration request; the last one repeats.
using Answer = std::optional<sim::Reply>;
Answer ok(uint8_t status) { return sim::Reply{0, {status, 0x99}}; }
Answer code(uint8_t completionCode) { return sim::Reply{completionCode, {}}; }
const Answer kSilent = std::nullopt;

struct CmdCase {
  const char* name;
  std::vector<Answer> script;
  IpmiCmdControl control;
  std::function<void(sim::Rig&)> inject;  // extra faults, may be empty
  int32_t initialLength;
  int result;
  int requests;
  uint64_t stalledSeconds;
  std::string console;
  uint8_t replyState;  // decoded fields afterwards (the initial value 7 when none)
};

constexpr uint8_t kStateBefore = 7;

IpmiCmdControl control(uint64_t delay, uint8_t check, uint8_t expected, uint64_t attempts) {
  return IpmiCmdControl{delay, check, expected, attempts, 0, kStateBefore, 0};
}

const CmdCase kCmdCases[] = {
    {"AcceptedAtOnce", {ok(0x35)}, control(2, 0, 0, 5), {}, 0, 0, 1, 0, "", 2},
    {"AlwaysInvalidCommand", {code(0xC1)}, control(0, 0, 0, 5), {}, 0, -1, 5, 0,
     repeat(abnormal("c1"), 5) + kFailed, kStateBefore},
    {"WaitsForExpectedState", {ok(0x02), ok(0x02), ok(0x02), ok(0x04)}, control(2, 1, 2, 5), {},
     0, 0, 4, 6, "", 2},
    {"NeverInExpectedState", {ok(0x02)}, control(0, 1, 2, 2), {}, 0, -1, 2, 0, kFailed, 1},
    {"DelayFollowsLastAttemptToo", {code(0xC0)}, control(3, 0, 0, 2), {}, 0, -1, 2, 6,
     repeat(abnormal("c0"), 2) + kFailed, kStateBefore},
    {"RecoversAfterOneFailure", {code(0xD5), ok(0x20)}, control(1, 0, 0, 3), {}, 0, 0, 2, 1,
     abnormal("d5"), 0},
    {"SilentBmcEveryAttemptTimesOut", {kSilent}, control(2, 0, 0, 5),
     [](sim::Rig& r) { r.kcs.faults.silentRecoveryMicros = 0; }, 0, -1, 5, 10,
     // Said once, after the first 10 s of the 5 x (10 s + 2 s).
     kStateError + "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 50 SECONDS\n" +
         abnormal("ffffffff") + repeat(kStateError + abnormal("ffffffff"), 4) + kFailed,
     kStateBefore},
    {"SingleShotIgnoresState", {ok(0x02)}, control(2, 1, 5, 0), {}, 0, 0, 1, 2, "", 1},
    {"SingleShotIgnoresCompletionCode", {sim::Reply{0xC1, {0x35}}}, control(0, 0, 0, 0), {}, 0,
     0, 1, 0, abnormal("c1"), kStateBefore},
    {"SingleShotReadPhaseFailure", {ok(0x35)}, control(0, 0, 0, 0),
     [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 2; }, 0, -1, 1, 0,
     abnormal("ffffffff") + kNoData, kStateBefore},
    {"SingleShotEarlyFailureKeepsCallersLength", {ok(0x35)}, control(0, 0, 0, 0),
     [](sim::Rig& r) { r.kcs.faults.ibfAlwaysSet = true; }, 5, 0, 0, 0,
     kStateError + abnormal("ffffffff"), kStateBefore},
    {"SingleShotEarlyFailureWithZeroLength", {ok(0x35)}, control(0, 0, 0, 0),
     [](sim::Rig& r) { r.kcs.faults.ibfAlwaysSet = true; }, 0, -1, 0, 0,
     kStateError + abnormal("ffffffff") + kNoData, kStateBefore},
    // The 8-bit attempt counter could never reach a larger limit.
    {"AttemptsBoundedTo255", {code(0xC1)}, control(0, 0, 0, 300), {}, 0, -1, 255, 0,
     repeat(abnormal("c1"), 255) + kFailed, kStateBefore},
    // No data: the status byte comes from what the buffer held (0x35).
    {"AcceptedWithoutData", {sim::Reply{0, {}}}, control(0, 0, 0, 1), {}, 0, -1, 1, 0, kNoData, 2},
};

class DoIpmiCmdTest : public ::testing::TestWithParam<CmdCase> {};

TEST_P(DoIpmiCmdTest, Outcome) {
  const CmdCase& c = GetParam();
  sim::Rig rig;
  rig.bindTransport();
  size_t next = 0;
  std::vector<uint8_t> lastData;
  rig.bmc.setHandler(kNetFnLunOem, kCmdConfigTask, [&](const sim::Request& request) {
    lastData = request.data;
    const Answer answer = c.script[next];
    if (next + 1 < c.script.size()) ++next;
    return answer;
  });
  if (c.inject) c.inject(rig);

  const uint8_t request[3] = {0x12, 0x34, 0x56};
  uint8_t response[16] = {0x35};
  int32_t responseLength = c.initialLength;
  IpmiCmdControl control = c.control;
  EXPECT_EQ(doIPMICmd(request, 3, response, sizeof response, &responseLength, &control), c.result);
  EXPECT_EQ(rig.bmc.countOf(kNetFnLunOem, kCmdConfigTask), c.requests);
  EXPECT_EQ(hostplatform::stalledMicros(), c.stalledSeconds * 1'000'000);
  EXPECT_EQ(rig.console, c.console);
  EXPECT_EQ(control.replyState, c.replyState);
  if (c.requests > 0) {
    EXPECT_EQ(lastData, std::vector<uint8_t>({0x12, 0x34, 0x56}));
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, DoIpmiCmdTest, ::testing::ValuesIn(kCmdCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DoIpmiCmdDecode, SplitsTheStatusByte) {
  struct Case {
    uint8_t status, taskId, state, flag;
  };
  for (const Case& c : {Case{0x35, 3, 2, 1}, Case{0x00, 0, 0, 0}, Case{0xFF, 15, 7, 1},
                        Case{0x0A, 0, 5, 0}}) {
    sim::Rig rig;
    rig.bindTransport();
    rig.bmc.setHandler(kNetFnLunOem, kCmdConfigTask,
                       [&](const sim::Request&) { return ok(c.status); });
    uint8_t response[16] = {};
    int32_t length = 0;
    IpmiCmdControl control{0, 0, 0, 1, 9, 9, 9};
    ASSERT_EQ(doIPMICmd(nullptr, 0, response, sizeof response, &length, &control), 0);
    EXPECT_EQ(control.replyTaskId, c.taskId);
    EXPECT_EQ(control.replyState, c.state);
    EXPECT_EQ(control.replyFlag, c.flag);
    EXPECT_EQ(length, 2);
  }
}

}  // namespace
