// The reply areas handed to the transport, and a transport that reports more
// reply bytes than the area holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/function_transport.h"
#include "state/tool_context.h"
#include "transport/kcs.h"
#include "config/config.h"
#include "config_rig.h"
#include "platform/host/host.h"

namespace configtest {
namespace {

struct ScriptedReply {
  Bytes data;
  int32_t reportedLength;  // what *responseLength says
};

std::vector<ScriptedReply> script;
std::vector<int32_t> capacities;
std::vector<Bytes> sent;


int scriptedTransfer(uint8_t, uint8_t, const uint8_t* data, int32_t dataLength,
                     uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  sent.emplace_back(data, data + dataLength);
  capacities.push_back(responseCapacity);
  if (script.empty()) return 0xC1;
  const ScriptedReply reply = script.front();
  script.erase(script.begin());
  // Like the KCS transfer: never more than the capacity into the area.
  const size_t copied = std::min(reply.data.size(), static_cast<size_t>(responseCapacity));
  std::copy(reply.data.begin(), reply.data.begin() + static_cast<long>(copied), response);
  *responseLength = reply.reportedLength;
  return 0;
}

void backupOverScript() {
  toolContext.dumpFile = "backup.bin";
  static constexpr TransportFunctions kScripted = {kcsOpen, scriptedTransfer, kcsClose};
  toolContext.transport = functionTransport(&kScripted);
  runConfigDriver([] { return true; });
}

Bytes blockReply(uint8_t status, uint32_t sequence, size_t dataLength) {
  Bytes reply{status, static_cast<uint8_t>(sequence), static_cast<uint8_t>(sequence >> 8),
              static_cast<uint8_t>(sequence >> 16)};
  const Bytes data = patternBytes(dataLength);
  reply.insert(reply.end(), data.begin(), data.end());
  return reply;
}

std::string runScript(sim::Rig& rig, std::vector<ScriptedReply> replies) {
  script = std::move(replies);
  capacities.clear();
  sent.clear();
  const size_t start = rig.console.size();
  backupOverScript();
  return rig.console.substr(start);
}

const ScriptedReply kReset{{0x00}, 1};
const ScriptedReply kOpen{{0x32}, 1};
const ScriptedReply kStart{{0x34, 0x10, 0x00, 0x00, 0xC8, 0x00, 0x00, 0x00}, 8};

TEST(ConfigReplyArea, PrepareUsesSixteenBytesAndBlocksOneHundredTwentyEight) {
  sim::Rig rig;
  const Bytes first = blockReply(0x34, 0x11, 124);
  const Bytes second = blockReply(0x38, 0x12, 76);
  const std::string console = runScript(
      rig, {kReset, kOpen, kStart, {first, 128}, {second, 80}});
  EXPECT_EQ(capacities, (std::vector<int32_t>{16, 16, 16, 128, 128}));
  EXPECT_EQ(console.substr(console.size() - kBackupDone.size()), kBackupDone);
  Bytes expected(first.begin() + 4, first.end());
  expected.insert(expected.end(), second.begin() + 4, second.end());
  EXPECT_EQ(rig.readFile("backup.bin"), expected);
}

TEST(ConfigReplyArea, LongerReplyThanTheAreaFailsTheBackup) {
  sim::Rig rig;
  const Bytes first = blockReply(0x34, 0x11, 60);
  const Bytes overlong = blockReply(0x34, 0x12, 200);
  const std::string console = runScript(
      rig, {kReset, kOpen, kStart, {first, 64}, {overlong, 204}, {{0x30}, 1}});
  EXPECT_EQ(console, kBackupHead + totalLine(200) + progressLine(60, 30) +
                         "ERROR: BACKUP REPLY TOO LONG\n\n" + progressLine(60, 30) + kFailed);
  EXPECT_EQ(sent.back(), Bytes{0x33});
  EXPECT_EQ(rig.readFile("backup.bin.partial"), Bytes(first.begin() + 4, first.end()));
}

}  // namespace
}  // namespace configtest
