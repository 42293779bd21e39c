// Run control opens the transport once before the job and closes it once
// after, whatever the job; no request goes out while it is closed.
#include <string>
#include <vector>

#include "sim/function_transport.h"
#include "app/run.h"
#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "transport/kcs.h"

namespace flowtest {
namespace {

struct Lifetime {
  int opens = 0;
  int closes = 0;
  int requestsWhileClosed = 0;
  bool open = false;
};
Lifetime gLifetime;

int countingOpen() {
  ++gLifetime.opens;
  gLifetime.open = true;
  return kcsOpen();
}

int countingClose() {
  ++gLifetime.closes;
  gLifetime.open = false;
  return kcsClose();
}

int watchedTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                    uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  if (!gLifetime.open) ++gLifetime.requestsWhileClosed;
  return kcsTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                     responseLength);
}

class TransportLifetimeTest : public FlowTest {
 public:
  TransportLifetimeTest() {
    static constexpr TransportFunctions kWatched = {countingOpen, watchedTransfer, countingClose};
    offerTransport(functionTransport(&kWatched));
  }
  ~TransportLifetimeTest() override { offerTransport(kcsTransport()); }
};

TEST_F(TransportLifetimeTest, OpenedOnceAndClosedOnceAroundEveryJob) {
  struct Case {
    std::vector<std::string> args;
    int opens;  // and as many closes
  };
  const Case cases[] = {
      {{"-f", "fw.bin"}, 1},
      {{"-f", "fw.bin", "--wait-bmc=60"}, 1},
      {{"-f", "missing.bin", "--wait-bmc=60"}, 1},  // a failed update
      {{"-d", "dump.bin"}, 1},
      {{"-d", "dump.bin", "--verify", "fw.bin"}, 1},
      {{"--bmc-info"}, 1},
      {{"-c", "-d", "backup.bin"}, 1},
      {{"-c", "-f", "missing.bin"}, 0},  // the file fails before the BMC is needed
      {{"-f", "fw.bin", "-d", "dump.bin", "--bmc-info"}, 0},  // refused command line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    reset();
    firmware.knobs.progressSteps = {100};
    writeFile("fw.bin", makeImage(0xA000, 0, tableText({{0x8000, 100, "a.bin"}})));
    gLifetime = Lifetime{};
    run(c.args);
    EXPECT_EQ(gLifetime.opens, c.opens);
    EXPECT_EQ(gLifetime.closes, c.opens);
    EXPECT_EQ(gLifetime.requestsWhileClosed, 0);
  }
}

}  // namespace
}  // namespace flowtest
