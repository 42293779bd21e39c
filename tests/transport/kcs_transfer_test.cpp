// The KCS transfer against the register-level simulated interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "state/tool_context.h"
#include "sim/rig.h"
#include "support/reply_rewriter.h"
#include "transport/kcs.h"
#include "transport/ipmi_wire.h"

namespace {

using sim::PortAccess;

constexpr uint8_t kEcho = 0x70;   // replies with the request data
constexpr int32_t kUntouched = 77;  // responseLength before the call
constexpr uint8_t kGuard = 0xEE;
const std::string kStateError = "ERROR !! BMC did not in correct state\n";

struct Transfer {
  int result = 0;
  int32_t responseLength = kUntouched;
  std::vector<uint8_t> response;
};

class KcsTransferTest : public ::testing::Test {
 protected:
  KcsTransferTest() {
    rig.bindTransport();
    rig.bmc.setHandler(kNetFnLunOem, kEcho, [](const sim::Request& request) {
      return sim::Reply{sim::kCompletionOk, request.data};
    });
  }

  Transfer transfer(const std::vector<uint8_t>& data, int32_t capacity = kKcsMaxResponseData) {
    Transfer out;
    out.response.assign(kKcsMaxResponseData + 8, kGuard);
    out.result = kcsTransfer(kNetFnLunOem, kEcho, data.data(), static_cast<int32_t>(data.size()),
                             out.response.data(), capacity, &out.responseLength);
    return out;
  }

  // Answers the echo command with this many data bytes.
  void replyWithDataBytes(size_t count, uint8_t completionCode = sim::kCompletionOk) {
    rig.bmc.setHandler(kNetFnLunOem, kEcho, [=](const sim::Request&) {
      sim::Reply reply{completionCode, {}};
      for (size_t i = 0; i < count; ++i) reply.data.push_back(static_cast<uint8_t>(i + 1));
      return reply;
    });
  }

  size_t guardBytesFrom(const Transfer& t, size_t offset) {
    size_t n = 0;
    for (size_t i = offset; i < t.response.size(); ++i) n += t.response[i] == kGuard;
    return n;
  }

  bool untouched(const Transfer& t) { return guardBytesFrom(t, 0) == t.response.size(); }

  sim::Rig rig;
};

std::vector<uint8_t> pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  return bytes;
}

TEST_F(KcsTransferTest, DeliversRequestAndReplyIntact) {
  for (size_t length : {0u, 1u, 50u, 62u}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> data = pattern(length);
    Transfer t = transfer(data);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.responseLength, static_cast<int32_t>(length));
    EXPECT_EQ(std::vector<uint8_t>(t.response.begin(), t.response.begin() + length), data);
    EXPECT_EQ(guardBytesFrom(t, length), t.response.size() - length);
    std::vector<uint8_t> expected{kNetFnLunOem, kEcho};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(rig.bmc.received.back(), expected);
  }
  EXPECT_TRUE(rig.kcs.hostErrors.empty());
  EXPECT_EQ(rig.console, "");
}

TEST_F(KcsTransferTest, RequestWithoutDataMakesExactPortTraffic) {
  rig.kcs.traceEnabled = true;
  uint8_t response[4] = {};
  int32_t length = kUntouched;
  ASSERT_EQ(kcsTransfer(0x18, 0x02, nullptr, 0, response, 4, &length), 0);
  EXPECT_EQ(length, 0);

  const auto S = [](uint8_t v) { return PortAccess{PortAccess::statusRead, v}; };
  const auto R = [](uint8_t v) { return PortAccess{PortAccess::dataRead, v}; };
  const auto W = [](uint8_t v) { return PortAccess{PortAccess::dataWrite, v}; };
  const auto C = [](uint8_t v) { return PortAccess{PortAccess::commandWrite, v}; };
  const std::vector<PortAccess> expected = {
      S(0x00), R(0x00), S(0x00),                    // idle, stale byte drained
      C(0x61), S(0x81), R(0x00), S(0x80),           // WRITE_START, dummy
      W(0x18), S(0x81), R(0x00), S(0x80),           // network function, dummy
      C(0x62), S(0x81), R(0x00), S(0x80),           // WRITE_END, dummy
      W(0x02),                                      // command: the last byte
      S(0x41), S(0x41), S(0x41), R(0x1C), W(0x68),  // reply: netFn | 4
      S(0x41), S(0x41), S(0x41), R(0x02), W(0x68),  // command
      S(0x41), S(0x41), S(0x41), R(0x00), W(0x68),  // completion code
      S(0x01), S(0x01), S(0x01), R(0x00),           // idle and its dummy byte
  };
  EXPECT_EQ(rig.kcs.trace, expected);
}

// Port accesses of one transfer whose BMC keeps IBF set for `busy` status
// reads after every write: the write phase polls once before WRITE_START
// and twice after each of its n + 1 acknowledged writes; the read phase
// polls three times per reply byte and for the end.
TEST_F(KcsTransferTest, MakesExactlyTheAlgorithmsPortAccesses) {
  struct Case {
    size_t dataLength;
    size_t replyData;
    int busy;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{1, 0, 0}, Case{50, 1, 0}, Case{62, 125, 0},
                        Case{0, 0, 2}, Case{50, 10, 3}}) {
    SCOPED_TRACE(testing::Message() << c.dataLength << "/" << c.replyData << "/" << c.busy);
    replyWithDataBytes(c.replyData);
    rig.kcs.faults.ibfBusyReads = c.busy;
    rig.kcs.counts = {};
    Transfer t = transfer(pattern(c.dataLength));
    ASSERT_EQ(t.result, 0);
    const uint64_t n = c.dataLength + 2;
    const uint64_t replyBytes = c.replyData + 3;
    const uint64_t ibfWaits = (n + 1) + (replyBytes + 1);
    EXPECT_EQ(rig.kcs.counts.statusReads, 2 * n + 4 + 3 * (replyBytes + 1) + c.busy * ibfWaits);
    EXPECT_EQ(rig.kcs.counts.dataReads, n + 2 + replyBytes + 1);
    EXPECT_EQ(rig.kcs.counts.dataWrites, n + replyBytes);
    EXPECT_EQ(rig.kcs.counts.commandWrites, 2u);
    EXPECT_EQ(rig.kcs.counts.strayAccesses, 0u);
  }
  EXPECT_TRUE(rig.kcs.hostErrors.empty());
}

TEST_F(KcsTransferTest, DeliversReplyDataWithinCapacity) {
  struct Case {
    size_t replyData;
    int32_t capacity;
    size_t copied;
  };
  for (const Case& c : {Case{0, 125, 0}, Case{1, 125, 1}, Case{16, 16, 16}, Case{40, 16, 16},
                        Case{125, 125, 125}, Case{125, 0, 0}, Case{5, -1, 0}}) {
    SCOPED_TRACE(testing::Message() << c.replyData << " into " << c.capacity);
    replyWithDataBytes(c.replyData);
    Transfer t = transfer({}, c.capacity);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.responseLength, static_cast<int32_t>(c.replyData));
    for (size_t i = 0; i < c.copied; ++i) EXPECT_EQ(t.response[i], i + 1);
    EXPECT_EQ(guardBytesFrom(t, c.copied), t.response.size() - c.copied);
  }
}

TEST_F(KcsTransferTest, PassesCompletionCodesThrough) {
  for (uint8_t code : {0x01, 0xC1, 0xCD, 0xDF, 0xFF}) {
    SCOPED_TRACE(static_cast<int>(code));
    replyWithDataBytes(0, code);
    Transfer t = transfer({});
    EXPECT_EQ(t.result, code);
    EXPECT_EQ(t.responseLength, 0);
    EXPECT_TRUE(untouched(t));
    replyWithDataBytes(2, code);
    t = transfer({});
    EXPECT_EQ(t.result, code);
    EXPECT_EQ(t.responseLength, 2);
    EXPECT_EQ(t.response[1], 2);
  }
  EXPECT_EQ(rig.console, "");
}

TEST_F(KcsTransferTest, RefusesRequestsThatDoNotFitTheMessage) {
  for (int32_t length : {-1, 63, 1000}) {
    uint8_t response[4];
    int32_t responseLength = kUntouched;
    const std::vector<uint8_t> data(1000, 0x11);
    EXPECT_EQ(kcsTransfer(kNetFnLunOem, kEcho, data.data(), length, response, 4, &responseLength), -1);
    EXPECT_EQ(responseLength, kUntouched);
  }
  EXPECT_EQ(rig.kcs.counts.total(), 0u);
}

struct FaultCase {
  const char* name;
  std::function<void(sim::Rig&)> inject;
  bool errorLine;
  int32_t responseLength;  // kUntouched: left as it was
  uint64_t virtualMicros;  // time the transfer took
};

// Writes of a two-byte request: 0 WRITE_START, 1 netFn, 2 WRITE_END, 3 command.
const FaultCase kFaultCases[] = {
    {"IbfNeverClears", [](sim::Rig& r) { r.kcs.faults.ibfAlwaysSet = true; }, true, kUntouched,
     10'000'000},
    {"IbfStuckAfterWriteStart", [](sim::Rig& r) { r.kcs.faults.ibfStuckAtWrite = 0; }, true,
     kUntouched, 10'000'000},
    {"IbfStuckAfterWriteEnd", [](sim::Rig& r) { r.kcs.faults.ibfStuckAtWrite = 2; }, true,
     kUntouched, 10'000'000},
    {"IbfStuckAfterLastByte", [](sim::Rig& r) { r.kcs.faults.ibfStuckAtWrite = 3; }, true, -1,
     10'000'000},
    {"IbfStuckAfterRead", [](sim::Rig& r) { r.kcs.faults.ibfStuckAtWrite = 5; }, true, -1,
     10'000'000},
    {"ObfStaysAfterDummy", [](sim::Rig& r) { r.kcs.faults.obfStuckAtWrite = 1; }, true,
     kUntouched, 0},
    {"WrongWriteState", [](sim::Rig& r) { r.kcs.faults.wrongStateAtWrite = 2; }, true, kUntouched,
     0},
    {"ErrorStateAtFirstByte", [](sim::Rig& r) { r.kcs.faults.errorStateAtReplyByte = 0; }, true,
     -1, 0},
    {"ErrorStateAtEnd", [](sim::Rig& r) { r.kcs.faults.errorStateAtReplyByte = 3; }, true, -1, 0},
    {"NoAnswer", [](sim::Rig& r) { r.bmc.faults.silentAll = true; }, true, -1, 10'000'000},
    {"ReplyOfNothing", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 0; }, false, -1, 0},
    {"ReplyOfOneByte", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 1; }, false, -1, 0},
    {"ReplyOfTwoBytes", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 2; }, false, -1, 0},
    {"ReplyOf129Bytes", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 129; }, false, -1,
     0},
    {"ReplyOf300Bytes", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 300; }, false, -1,
     0},
    {"NoTimerForSlowWrite",
     [](sim::Rig& r) {
       hostplatform::faults().timerCreateFails = true;
       r.kcs.faults.ibfBusyReads = kKcsPollsBeforeTimer;
     },
     false, kUntouched, 0},
    {"EndlessReply", [](sim::Rig& r) { r.kcs.faults.endlessReply = true; }, false, -1, 0},
    {"StuckInErrorState",
     [](sim::Rig& r) {
       r.kcs.leaveInterface(sim::KcsLeftover::errorState);
       r.kcs.faults.stuckInError = true;
     },
     true, kUntouched, 0},
    {"TimerCannotArmForSlowWrite",
     [](sim::Rig& r) {
       hostplatform::faults().timerArmFails = true;
       r.kcs.faults.ibfBusyReads = kKcsPollsBeforeTimer;
     },
     false, kUntouched, 0},
    {"TimerCannotArmForSlowReply",
     [](sim::Rig& r) {
       hostplatform::faults().timerArmFails = true;
       r.bmc.faults.silentAll = true;
     },
     false, -1, 0},
};

class KcsFaultTest : public KcsTransferTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(KcsFaultTest, FailsWithoutDeliveringAnything) {
  const FaultCase& c = GetParam();
  c.inject(rig);
  const uint64_t start = hostplatform::nowMicros();
  Transfer t = transfer({});
  EXPECT_EQ(t.result, -1);
  EXPECT_EQ(t.responseLength, c.responseLength);
  EXPECT_TRUE(untouched(t));
  EXPECT_EQ(rig.console, c.errorLine ? kStateError : "");
  EXPECT_EQ(hostplatform::nowMicros() - start, c.virtualMicros);
  EXPECT_TRUE(rig.kcs.hostErrors.empty());
}

INSTANTIATE_TEST_SUITE_P(Knobs, KcsFaultTest, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KcsTransferTest, SlowButTimelyBmcSucceeds) {
  hostplatform::faults().timerArmFails = false;
  rig.kcs.faults.ibfBusyReads = kKcsPollsBeforeTimer + 5000;  // five virtual seconds per wait
  Transfer t = transfer(pattern(3));
  EXPECT_EQ(t.result, 0);
  EXPECT_EQ(t.responseLength, 3);
  EXPECT_EQ(rig.console, "");
}

TEST_F(KcsTransferTest, FastPathNeedsNoTimer) {
  // Every wait is satisfied within its plain status reads, so arming is
  // never tried; one read more and it is (NoTimerForSlowWrite).
  hostplatform::faults().timerArmFails = true;
  for (int busy : {0, kKcsPollsBeforeTimer - 1}) {
    SCOPED_TRACE(busy);
    rig.kcs.faults.ibfBusyReads = busy;
    Transfer t = transfer(pattern(50));
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.responseLength, 50);
    EXPECT_EQ(hostplatform::nowMicros(), 0u);
  }
}

TEST_F(KcsTransferTest, NextTransferWorksAfterAFailedOne) {
  struct Case {
    const char* name;
    std::function<void(sim::Rig&)> inject;
  };
  const Case cases[] = {
      {"overlong reply", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 200; }},
      {"error state", [](sim::Rig& r) { r.kcs.faults.errorStateAtReplyByte = 1; }},
      {"wrong write state", [](sim::Rig& r) { r.kcs.faults.wrongStateAtWrite = 1; }},
      {"short reply", [](sim::Rig& r) { r.bmc.faults.replyLengthOverride = 2; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.kcs.faults = {};
    rig.bmc.faults = {};
    c.inject(rig);
    rig.kcs.faults.onlyTransfer = rig.kcs.transfersStarted;
    EXPECT_EQ(transfer(pattern(4)).result, -1);
    rig.bmc.faults = {};
    rig.kcs.counts = {};
    Transfer t = transfer(pattern(4));
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.responseLength, 4);
    EXPECT_EQ(rig.kcs.counts.commandWrites, 2u);  // found idle: no abort needed
  }
  EXPECT_TRUE(rig.kcs.hostErrors.empty());
}

// An interface left in error or mid-transfer is aborted back to idle once,
// silently, and the request then goes out whole, exactly once.
TEST_F(KcsTransferTest, RecoversAnInterfaceLeftOutOfIdle) {
  for (sim::KcsLeftover where :
       {sim::KcsLeftover::errorState, sim::KcsLeftover::midWrite,
        sim::KcsLeftover::midReadWithObf, sim::KcsLeftover::midReadWithoutObf}) {
    SCOPED_TRACE(static_cast<int>(where));
    rig.kcs.leaveInterface(where);
    rig.kcs.traceEnabled = true;
    rig.kcs.trace.clear();
    rig.bmc.received.clear();
    Transfer t = transfer(pattern(5));
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.responseLength, 5);
    EXPECT_EQ(rig.bmc.received, std::vector<std::vector<uint8_t>>({{kNetFnLunOem, kEcho, 0xA0, 0xA1,
                                                                    0xA2, 0xA3, 0xA4}}));
    const PortAccess abort{PortAccess::commandWrite, 0x60};
    EXPECT_EQ(std::count(rig.kcs.trace.begin(), rig.kcs.trace.end(), abort), 1);
    EXPECT_EQ(rig.kcs.trace[1], abort);  // right after the status that showed it
  }
  EXPECT_TRUE(rig.kcs.hostErrors.empty());
  EXPECT_EQ(rig.console, "");
}

TEST_F(KcsTransferTest, KeepsOneTimerForTheRun) {
  rig.kcs.faults.ibfBusyReads = kKcsPollsBeforeTimer + 3;
  EXPECT_EQ(transfer(pattern(2)).result, 0);
  hostplatform::faults().timerCreateFails = true;
  EXPECT_EQ(transfer(pattern(2)).result, 0);
  kcsClose();
  EXPECT_EQ(transfer(pattern(2)).result, -1);
}

// The timer fires just after the status read that satisfied a wait, before
// its cancel: the next wait must still get its full 10 seconds.
TEST_F(KcsTransferTest, AWaitNeverStartsWithAnOldFiring) {
  struct LateFiring : hostplatform::PortDevice {
    sim::KcsDevice* device;
    bool busySeen = false;
    bool fired = false;
    uint8_t in(uint16_t port) override {
      const uint8_t value = device->in(port);
      if (port != sim::kDefaultCommandPort || fired) return value;
      if ((value & sim::kKcsIbf) != 0) busySeen = true;
      if (busySeen && (value & sim::kKcsIbf) == 0) {
        fired = true;
        platform::stall(10'000'000);
      }
      return value;
    }
    void out(uint16_t port, uint8_t value) override { device->out(port, value); }
  } late;
  late.device = &rig.kcs;
  hostplatform::setPortDevice(&late);
  rig.kcs.faults.ibfBusyReads = kKcsPollsBeforeTimer + 9000;  // nine virtual seconds per wait
  Transfer t = transfer(pattern(1));
  EXPECT_TRUE(late.fired);
  EXPECT_EQ(t.result, 0);
  EXPECT_EQ(t.responseLength, 1);
  EXPECT_EQ(rig.console, "");
}

// A reply must name the request's network function + 1, its LUN and its
// command; any other is a failure of the request, never its data.
TEST_F(KcsTransferTest, RefusesAReplyForAnotherRequest) {
  struct Case {
    const char* name;
    uint8_t netFnLun;
    uint8_t command;
  };
  const Case cases[] = {
      {"another network function", 0x1C, kEcho},
      {"the request's own network function", kNetFnLunOem, kEcho},
      {"another LUN", 0xFD, kEcho},
      {"another command", 0xFC, 0x01},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simtest::ReplyRewriter foreign(rig.bmc, [&](const sim::Bytes&, std::optional<sim::Bytes>& r) {
      (*r)[0] = c.netFnLun;
      (*r)[1] = c.command;
    });
    rig.kcs.setEndpoint(&foreign);
    rig.takeConsole();
    Transfer t = transfer(pattern(3));
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.responseLength, -1);
    EXPECT_TRUE(untouched(t));
    char line[80];
    std::snprintf(line, sizeof line,
                  "ERROR !! BMC answered another request (netFn/LUN 0x%02x, command 0x%02x)\n",
                  c.netFnLun, c.command);
    EXPECT_EQ(rig.takeConsole(), line);
    // The exchange itself ended properly: the next one needs no abort.
    rig.kcs.setEndpoint(&rig.bmc);
    rig.kcs.counts = {};
    EXPECT_EQ(transfer(pattern(3)).result, 0);
    EXPECT_EQ(rig.kcs.counts.commandWrites, 2u);
  }
}

// A request its caller retries: one notice at the first failure 10 seconds
// or more after the caller began it, however many tries fail.
TEST_F(KcsTransferTest, SaysOnceThatARetriedRequestGoesUnanswered) {
  rig.bmc.faults.silentAll = true;
  toolContext.silence.begin(45);
  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_EQ(transfer({}).result, -1);
  toolContext.silence.end();
  EXPECT_EQ(rig.console, kStateError +
                             "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 35 "
                             "SECONDS\n" +
                             kStateError + kStateError);
}

TEST_F(KcsTransferTest, SilentBmcThatRecoversServesTheNextTransfer) {
  rig.bmc.faults.silentAll = true;
  rig.kcs.faults.silentRecoveryMicros = 12'000'000;
  EXPECT_EQ(transfer({}).result, -1);
  rig.bmc.faults.silentAll = false;
  // The interface is still busy for two more seconds: the next wait absorbs them.
  Transfer t = transfer(pattern(2));
  EXPECT_EQ(t.result, 0);
  EXPECT_EQ(rig.console, kStateError);
}

}  // namespace
