// The KCS transfer against the register-level simulated interface.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tool_context.h"
#include "sim/rig.h"
#include "transport/kcs.h"

namespace {

constexpr uint8_t kEchoNetFn = 0xF8;
constexpr uint8_t kEchoCommand = 0x70;
const std::string kStateError = "ERROR !! BMC did not in correct state\n";

struct Transfer {
  int result = 0;
  int32_t responseLength = 0;
  std::vector<uint8_t> response;
};

// A rig whose BMC answers the echo command with the request data, preceded
// by `prefix` reply data bytes.
class KcsTransferTest : public ::testing::Test {
 protected:
  KcsTransferTest() {
    rig.bindTransport();
    rig.bmc.setHandler(kEchoNetFn, kEchoCommand, [](const sim::Request& request) {
      return sim::Reply{sim::kCompletionOk, request.data};
    });
  }

  Transfer transfer(const std::vector<uint8_t>& data, int32_t capacity = kKcsMaxResponseData,
                    uint8_t command = kEchoCommand, int32_t initialLength = 77) {
    Transfer out;
    out.responseLength = initialLength;
    out.response.assign(kKcsMaxResponseData + 8, 0xEE);
    out.result = kcsTransfer(kEchoNetFn, command, data.data(), static_cast<int32_t>(data.size()),
                             out.response.data(), capacity, &out.responseLength);
    return out;
  }

  sim::Rig rig;
};

std::vector<uint8_t> pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  return bytes;
}

TEST_F(KcsTransferTest, EchoesRequestData) {
  for (size_t length : {0u, 1u, 50u, 62u}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> data = pattern(length);
    Transfer t = transfer(data);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.responseLength, static_cast<int32_t>(length));
    EXPECT_EQ(std::vector<uint8_t>(t.response.begin(), t.response.begin() + length), data);
    EXPECT_EQ(t.response[length], 0xEE);
    std::vector<uint8_t> expected{kEchoNetFn, kEchoCommand};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(rig.bmc.received.back(), expected);
    EXPECT_TRUE(rig.kcs.hostErrors.empty());
  }
  EXPECT_EQ(rig.console, "");
}

}  // namespace
