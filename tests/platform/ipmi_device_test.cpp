// The transfer through the kernel's IPMI device, against a fake device: the
// request it hands the kernel, the reply mapped onto the KCS transfer's
// contract, and every wait bounded.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/linux/ipmi_device.h"
#include "platform/linux/linux_transport.h"
#include "state/tool_context.h"

namespace {

using linuxplatform::ipmiDeviceTransfer;

constexpr int32_t kUntouched = 77;
constexpr uint8_t kGuard = 0xEE;
const std::string kStateError = "ERROR !! BMC did not in correct state\n";
const std::string kNotice80 =
    "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 80 SECONDS\n";

struct Message {
  int recvType = IPMI_RESPONSE_RECV_TYPE;
  long msgidDelta = 0;  // added to the request's msgid
  std::vector<uint8_t> data;  // completion code first
  int waitError = 0;          // returned by the wait before this message
  // Added to what the reply to the request carries: netFn + 1, its command
  // and LUN.
  int netFnDelta = 0;
  int commandDelta = 0;
  int lunDelta = 0;
};

class FakeDevice : public linuxplatform::IpmiDeviceIo {
 public:
  int send(ipmi_req* request) override {
    sent = *request;
    sentData.assign(request->msg.data, request->msg.data + request->msg.data_len);
    const auto* to = reinterpret_cast<const ipmi_system_interface_addr*>(request->addr);
    sentTo = *to;
    ++sends;
    return sendError;
  }
  int waitReadable(int timeoutMillis) override {
    ++waits;
    if (!queue.empty() && queue.front().waitError != 0) {
      const int error = queue.front().waitError;
      queue.front().waitError = 0;
      return error;
    }
    if (queue.empty()) {
      now += timeoutMillis;
      hostplatform::advanceClock(static_cast<uint64_t>(timeoutMillis) * 1000);
      return 0;
    }
    return 1;
  }
  int receive(ipmi_recv* message) override {
    Message next = queue.front();
    queue.pop_front();
    message->recv_type = next.recvType;
    message->msgid = sent.msgid + next.msgidDelta;
    message->msg.netfn = static_cast<unsigned char>(sent.msg.netfn + 1 + next.netFnDelta);
    message->msg.cmd = static_cast<unsigned char>(sent.msg.cmd + next.commandDelta);
    ipmi_system_interface_addr from = sentTo;
    from.lun = static_cast<unsigned char>(from.lun + next.lunDelta);
    std::memcpy(message->addr, &from, sizeof from);
    std::copy(next.data.begin(), next.data.end(), message->msg.data);
    message->msg.data_len = static_cast<unsigned short>(next.data.size());
    return 0;
  }
  int64_t nowMillis() override { return now; }

  std::deque<Message> queue;
  int sendError = 0;
  int sends = 0;
  int waits = 0;
  int64_t now = 0;
  ipmi_req sent{};
  ipmi_system_interface_addr sentTo{};
  std::vector<uint8_t> sentData;
};

struct Outcome {
  int result;
  int32_t responseLength;
  std::vector<uint8_t> response;
  std::string console;
};

Outcome transfer(FakeDevice& device, std::vector<uint8_t> request = {}, int32_t capacity = 125,
                 uint8_t netFnLun = 0xF8) {
  Outcome out{0, kUntouched, std::vector<uint8_t>(140, kGuard), {}};
  hostplatform::captureConsole(&out.console);
  out.result = ipmiDeviceTransfer(device, 7, netFnLun, 0x15, request.data(),
                                  static_cast<int32_t>(request.size()), out.response.data(),
                                  capacity, &out.responseLength);
  hostplatform::captureConsole(nullptr);
  return out;
}

std::vector<uint8_t> countingBytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  return bytes;
}

TEST(IpmiDeviceTransfer, HandsTheKernelTheRequestForTheBmc) {
  FakeDevice device;
  device.queue.push_back({.data = {0x00}});
  const std::vector<uint8_t> data = countingBytes(50);
  transfer(device, data, 125, 0xF9);
  EXPECT_EQ(device.sentTo.addr_type, IPMI_SYSTEM_INTERFACE_ADDR_TYPE);
  EXPECT_EQ(device.sentTo.channel, IPMI_BMC_CHANNEL);
  EXPECT_EQ(device.sentTo.lun, 1);
  EXPECT_EQ(device.sent.msg.netfn, 0x3E);
  EXPECT_EQ(device.sent.msg.cmd, 0x15);
  EXPECT_EQ(device.sent.msgid, 7);
  EXPECT_EQ(device.sentData, data);
}

TEST(IpmiDeviceTransfer, MapsRepliesAsTheKcsTransferDoes) {
  struct Case {
    const char* name;
    std::vector<uint8_t> reply;  // completion code first
    int32_t capacity;
    int result;
    int32_t responseLength;
    size_t copied;
  };
  std::vector<uint8_t> longest{0x00};
  const std::vector<uint8_t> data125 = countingBytes(125);
  longest.insert(longest.end(), data125.begin(), data125.end());
  std::vector<uint8_t> tooLong = longest;
  tooLong.push_back(0x99);
  const Case cases[] = {
      {"data", {0x00, 1, 2, 3}, 125, 0, 3, 3},
      {"completion code only", {0xC1}, 125, 0xC1, 0, 0},
      {"code with data", {0xCD, 2}, 125, 0xCD, 1, 1},
      {"no completion code", {}, 125, -1, -1, 0},
      {"the longest KCS reply", longest, 125, 0, 125, 125},
      {"longer than a KCS reply", tooLong, 125, -1, -1, 0},
      {"more than the caller's buffer", {0x00, 1, 2, 3, 4, 5, 6}, 4, 0, 6, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    device.queue.push_back({.data = c.reply});
    const Outcome out = transfer(device, {}, c.capacity);
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.responseLength, c.responseLength);
    for (size_t i = 0; i < out.response.size(); ++i) {
      EXPECT_EQ(out.response[i], i < c.copied ? c.reply[i + 1] : kGuard) << i;
    }
    EXPECT_EQ(out.console, "");
  }
}

TEST(IpmiDeviceTransfer, TakesOnlyItsOwnReply) {
  FakeDevice device;
  device.queue.push_back({.msgidDelta = -1, .data = {0xC3}});                        // late, earlier request
  device.queue.push_back({.recvType = IPMI_ASYNC_EVENT_RECV_TYPE, .data = {0x00}});  // an event
  device.queue.push_back({.data = {0x00, 0x42}, .waitError = -EINTR});               // a signal first
  const Outcome out = transfer(device);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.responseLength, 1);
  EXPECT_EQ(out.response[0], 0x42);
}

TEST(IpmiDeviceTransfer, FailuresLookLikeTheKcsTransfers) {
  struct Case {
    const char* name;
    int sendError;
    bool silent;
    int32_t responseLength;
    std::string console;
  };
  const Case cases[] = {
      {"the kernel refuses the request", -EMSGSIZE, false, kUntouched, kStateError},
      {"no reply comes", 0, true, -1, kNotice80 + kStateError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    device.sendError = c.sendError;
    if (!c.silent) device.queue.push_back({.data = {0x00}});
    const Outcome out = transfer(device);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.responseLength, c.responseLength);
    EXPECT_EQ(out.console, c.console);
    if (c.silent) {
      EXPECT_EQ(device.now, linuxplatform::kReplyWaitMillis);
      EXPECT_LE(device.waits, 2);
    }
  }
}

// The kernel hands out a reply under this request's msgid that names
// another request: a transport failure, never data.
TEST(IpmiDeviceTransfer, RefusesAReplyForAnotherRequest) {
  struct Case {
    const char* name;
    Message reply;
    std::string console;
  };
  const Case cases[] = {
      {"network function", {.data = {0x00, 0x42}, .netFnDelta = 0x07 - 0x3F},
       "ERROR !! BMC answered another request (netFn/LUN 0x1c, command 0x15)\n"},
      {"request's own network function", {.data = {0x00, 0x42}, .netFnDelta = -1},
       "ERROR !! BMC answered another request (netFn/LUN 0xf8, command 0x15)\n"},
      {"command", {.data = {0x00, 0x42}, .commandDelta = 2},
       "ERROR !! BMC answered another request (netFn/LUN 0xfc, command 0x17)\n"},
      {"LUN", {.data = {0x00, 0x42}, .lunDelta = 1},
       "ERROR !! BMC answered another request (netFn/LUN 0xfd, command 0x15)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    device.queue.push_back(c.reply);
    const Outcome out = transfer(device);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.responseLength, -1);
    EXPECT_EQ(out.response[0], kGuard);
    EXPECT_EQ(out.console, c.console);
  }
}

// The link's reply messages to a request F8/15: taken only when they name
// it (network function + 1, LUN, command).
TEST(LinkReply, IsTakenOnlyForItsRequest) {
  struct Case {
    const char* name;
    std::vector<uint8_t> reply;
    int result;
    int32_t responseLength;
    std::string console;
  };
  const Case cases[] = {
      {"its own", {0xFC, 0x15, 0x00, 0x42}, 0, 1, ""},
      {"its own, refused", {0xFC, 0x15, 0xC0}, 0xC0, 0, ""},
      {"a chassis reply", {0x04, 0x15, 0x00, 0x42}, -1, -1,
       "ERROR !! BMC answered another request (netFn/LUN 0x04, command 0x15)\n"},
      {"the request echoed", {0xF8, 0x15, 0x00, 0x42}, -1, -1,
       "ERROR !! BMC answered another request (netFn/LUN 0xf8, command 0x15)\n"},
      {"another command", {0xFC, 0x17, 0x00, 0x42}, -1, -1,
       "ERROR !! BMC answered another request (netFn/LUN 0xfc, command 0x17)\n"},
      {"no completion code", {0xFC, 0x15}, -1, -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> response(8, kGuard);
    int32_t responseLength = kUntouched;
    std::string console;
    hostplatform::captureConsole(&console);
    const int result = linuxplatform::deliverMessageReply(
        0xF8, 0x15, c.reply.data(), static_cast<int32_t>(c.reply.size()), response.data(),
        static_cast<int32_t>(response.size()), &responseLength);
    hostplatform::captureConsole(nullptr);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(responseLength, c.responseLength);
    EXPECT_EQ(response[0], c.responseLength > 0 ? 0x42 : kGuard);
    EXPECT_EQ(console, c.console);
  }
}

// A request whose tries the caller watches: its bound, and one notice
// however many tries go unanswered.
TEST(IpmiDeviceTransfer, SaysOnceThatTheRequestGoesUnanswered) {
  clearToolContext();
  toolContext.silence.begin(455);
  std::string console;
  for (int attempt = 0; attempt < 3; ++attempt) {
    FakeDevice device;
    console += transfer(device).console;
  }
  toolContext.silence.end();
  EXPECT_EQ(console, "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 445 SECONDS\n" +
                         kStateError + kStateError + kStateError);
}

TEST(IpmiDeviceTransfer, RefusesMoreDataThanKcsCarries) {
  FakeDevice device;
  const Outcome out = transfer(device, countingBytes(63));
  EXPECT_EQ(out.result, -1);
  EXPECT_EQ(out.responseLength, kUntouched);
  EXPECT_EQ(device.sends, 0);
}

}  // namespace
