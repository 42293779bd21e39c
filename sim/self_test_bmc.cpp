#include "sim/self_test_bmc.h"

namespace sim {

void addSelfTest(Bmc& bmc) {
  constexpr uint8_t kAppNetFnLun = 0x18;
  constexpr uint8_t kCmdGetSelfTestResults = 0x04;
  constexpr uint8_t kNoError = 0x55;
  if (bmc.hasHandler(kAppNetFnLun, kCmdGetSelfTestResults)) return;
  bmc.setHandler(kAppNetFnLun, kCmdGetSelfTestResults, [](const Request& request) {
    if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
    return Reply{kCompletionOk, {kNoError, 0x00}};
  });
}

}  // namespace sim
