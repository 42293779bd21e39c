// The stage that signal handling reads for every request: declared by the
// update flow, never guessed from the request.
#include <cstdio>
#include <string>
#include <vector>

#include "sim/function_transport.h"
#include "app/run.h"
#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "transport/kcs.h"

namespace flowtest {
namespace {

// "netFn/command:stage" for the first request of each stage in turn.
std::vector<std::string> gStageChanges;

const char* stageName(UpdateStage stage) {
  switch (stage) {
    case UpdateStage::kNone: return "none";
    case UpdateStage::kSending: return "sending";
    case UpdateStage::kResetting: return "resetting";
    case UpdateStage::kProgramming: return "programming";
  }
  return "?";
}

UpdateStage gLastStage = UpdateStage::kNone;

int stageRecordingTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data,
                           int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                           int32_t* responseLength) {
  const UpdateStage stage = toolContext.runRecord.stage;
  if (gStageChanges.empty() || stage != gLastStage) {
    char entry[40];
    std::snprintf(entry, sizeof entry, "%02X/%02X:%s", netFnLun, command, stageName(stage));
    gStageChanges.push_back(entry);
    gLastStage = stage;
  }
  return kcsTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                     responseLength);
}

struct StageCase {
  const char* name;
  std::vector<std::string> args;
  void (*arrange)(sim::FirmwareBmc&);
  std::vector<std::string> changes;
};

class UpdateStageTest : public FlowTest {
 public:
  UpdateStageTest() {
    static constexpr TransportFunctions kRecording = {kcsOpen, stageRecordingTransfer, kcsClose};
    offerTransport(functionTransport(&kRecording));
  }
  ~UpdateStageTest() override { offerTransport(kcsTransport()); }
};

TEST_F(UpdateStageTest, EveryRequestGoesOutInTheStageTheFlowDeclared) {
  const auto done = [](sim::FirmwareBmc& f) { f.knobs.progressSteps = {50, 100}; };
  const auto rejected = [](sim::FirmwareBmc& f) {
    f.knobs.reject = sim::FirmwareBmc::Rejection{0, 1};
  };
  const StageCase cases[] = {
      {"completed", {"-f", "fw.bin"}, done,
       {"F8/16:none", "F8/14:sending", "F8/17:programming"}},
      {"rejected: the cold reset still goes", {"-f", "fw.bin"}, rejected,
       {"F8/16:none", "F8/14:sending", "18/02:resetting"}},
      {"waiting afterwards is no update", {"-f", "fw.bin", "--wait-bmc=60"}, done,
       {"18/01:none", "F8/14:sending", "F8/17:programming", "18/01:none"}},
      {"rejected, then waiting", {"-f", "fw.bin", "--wait-bmc=60"}, rejected,
       {"18/01:none", "F8/14:sending", "18/02:resetting", "18/01:none"}},
      {"a dump", {"-d", "dump.bin"}, done, {"F8/1D:none"}},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    writeFile("fw.bin", makeImage(0xA000, 0, tableText({{0x8000, 100, "a.bin"}})));
    c.arrange(firmware);
    gStageChanges.clear();
    run(c.args);
    EXPECT_EQ(gStageChanges, c.changes);
    EXPECT_EQ(toolContext.runRecord.stage, UpdateStage::kNone);
  }
}

}  // namespace
}  // namespace flowtest
