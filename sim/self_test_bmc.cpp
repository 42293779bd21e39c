#include "sim/self_test_bmc.h"
#include "transport/ipmi_wire.h"

namespace sim {

void addSelfTest(Bmc& bmc) {
  constexpr uint8_t kNoError = 0x55;
  if (bmc.hasHandler(kNetFnLunApp, kCmdGetSelfTestResults)) return;
  bmc.setHandler(kNetFnLunApp, kCmdGetSelfTestResults, [](const Request& request) {
    if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
    return Reply{kCompletionOk, {kNoError, 0x00}};
  });
}

}  // namespace sim
