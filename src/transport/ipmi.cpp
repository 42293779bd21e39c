#include "transport/ipmi.h"

#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/request.h"

int ipmiColdReset() {
  uint8_t response[request::kMaxResponseData];
  int32_t responseLength = 0;
  const int rc = toolContext.transport.transfer(kNetFnLunApp, kCmdColdReset, nullptr, 0, response,
                                                sizeof response, &responseLength);
  if ((rc & 0xFF) == 0) {
    platform::print("Execute Cold Reset Success\n");
    return 0;
  }
  platform::print("Execute Cold Reset Fail\n");
  return -1;
}
