#include "platform/linux/ipmi_device.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/kcs.h"
#include "transport/request.h"

namespace linuxplatform {
namespace {

constexpr const char* kStateError = "ERROR !! BMC did not in correct state\n";

// Room for the longest message the kernel hands out, so that a reply longer
// than a KCS reply is seen as such instead of being cut to fit.
constexpr int kReceiveBufferSize = IPMI_MAX_MSG_LENGTH + 1;

enum class Wait { reply, timedOut, failed };

// What the kernel says the reply answers: its network function and LUN
// byte and its command.
struct ReplyHeader {
  uint8_t netFnLun;
  uint8_t command;
};

// Waits for the reply to `msgid`, dropping anything else the device hands
// out (late replies to requests that timed out, events). The wait stops
// when the unanswered-request notice falls due, to give it.
Wait awaitReply(IpmiDeviceIo& device, long msgid, uint8_t* buffer, int32_t* count,
                ReplyHeader* header) {
  const int64_t deadline = device.nowMillis() + kReplyWaitMillis;
  for (;;) {
    const int64_t left = deadline - device.nowMillis();
    if (left <= 0) return Wait::timedOut;
    const uint64_t slice = toolContext.silence.millisUntilDue(static_cast<uint64_t>(left));
    const int ready = device.waitReadable(static_cast<int>(slice));
    if (ready == -EINTR || ready == 0) {
      toolContext.silence.check();
      continue;
    }
    if (ready < 0) return Wait::failed;

    ipmi_addr from{};
    ipmi_recv message{};
    message.addr = reinterpret_cast<unsigned char*>(&from);
    message.addr_len = sizeof from;
    message.msg.data = buffer;
    message.msg.data_len = kReceiveBufferSize;
    const int received = device.receive(&message);
    if (received == -EAGAIN || received == -EINTR) continue;
    if (received == -EMSGSIZE) {
      // Cut to the buffer: still this request's reply if the id matches.
      message.msg.data_len = kReceiveBufferSize;
    } else if (received < 0) {
      return Wait::failed;
    }
    if (message.recv_type != IPMI_RESPONSE_RECV_TYPE || message.msgid != msgid) continue;
    *count = message.msg.data_len;
    ipmi_system_interface_addr system{};
    std::memcpy(&system, &from, sizeof system);
    header->netFnLun = static_cast<uint8_t>(message.msg.netfn << 2 | (system.lun & 0x03));
    header->command = message.msg.cmd;
    return Wait::reply;
  }
}

// The reply wait of one transfer, under the notice of the request it
// belongs to; a transfer that nobody else watches brings its own.
Wait awaitReplyNoticed(IpmiDeviceIo& device, long msgid, uint8_t* buffer, int32_t* count,
                       ReplyHeader* header) {
  const bool ownNotice = !toolContext.silence.active();
  if (ownNotice) toolContext.silence.begin(kReplyWaitMillis / 1000);
  const Wait wait = awaitReply(device, msgid, buffer, count, header);
  if (ownNotice) toolContext.silence.end();
  return wait;
}

}  // namespace

int KernelIpmiDevice::send(ipmi_req* request) {
  return ioctl(fd_, IPMICTL_SEND_COMMAND, request) == 0 ? 0 : -errno;
}

int KernelIpmiDevice::waitReadable(int timeoutMillis) {
  pollfd waiting{fd_, POLLIN, 0};
  const int ready = poll(&waiting, 1, timeoutMillis);
  if (ready < 0) return -errno;
  if (ready > 0 && (waiting.revents & POLLIN) == 0) return -EIO;
  return ready;
}

int KernelIpmiDevice::receive(ipmi_recv* message) {
  return ioctl(fd_, IPMICTL_RECEIVE_MSG_TRUNC, message) == 0 ? 0 : -errno;
}

int64_t KernelIpmiDevice::nowMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int deliverReply(const uint8_t* reply, int32_t count, uint8_t* response,
                 int32_t responseCapacity, int32_t* responseLength) {
  if (count < 1 || count - 1 > request::kMaxResponseData) {
    *responseLength = -1;
    return -1;
  }
  const int32_t dataCount = count - 1;
  *responseLength = dataCount;
  const int32_t copied = dataCount < responseCapacity ? dataCount : responseCapacity;
  if (copied > 0) std::memcpy(response, reply + 1, static_cast<size_t>(copied));
  return reply[0];
}

int deliverMessageReply(uint8_t netFnLun, uint8_t command, const uint8_t* reply, int32_t count,
                        uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  if (count < 3) {
    *responseLength = -1;
    return -1;
  }
  if (!replyMatches(netFnLun, command, reply[0], reply[1])) {
    *responseLength = -1;
    return failForeignReply(reply[0], reply[1]);
  }
  return deliverReply(reply + 2, count - 2, response, responseCapacity, responseLength);
}

int ipmiDeviceTransfer(IpmiDeviceIo& device, long msgid, uint8_t netFnLun, uint8_t command,
                       const uint8_t* data, int32_t dataLength, uint8_t* response,
                       int32_t responseCapacity, int32_t* responseLength) {
  if (dataLength < 0 || dataLength > request::kMaxRequestData) return -1;

  uint8_t requestData[request::kMaxRequestData] = {};
  if (dataLength > 0) std::memcpy(requestData, data, static_cast<size_t>(dataLength));
  ipmi_system_interface_addr to{};
  to.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
  to.channel = IPMI_BMC_CHANNEL;
  to.lun = netFnLun & 0x03;
  ipmi_req request{};
  request.addr = reinterpret_cast<unsigned char*>(&to);
  request.addr_len = sizeof to;
  request.msgid = msgid;
  request.msg.netfn = static_cast<unsigned char>(netFnLun >> 2);
  request.msg.cmd = command;
  request.msg.data = requestData;
  request.msg.data_len = static_cast<unsigned short>(dataLength);

  // Not sent: as a KCS request the BMC never took.
  if (device.send(&request) != 0) {
    platform::print("%s", kStateError);
    return -1;
  }
  uint8_t reply[kReceiveBufferSize] = {};
  int32_t count = 0;
  ReplyHeader header{};
  if (awaitReplyNoticed(device, msgid, reply, &count, &header) != Wait::reply) {
    platform::print("%s", kStateError);
    *responseLength = -1;
    return -1;
  }
  if (!replyMatches(netFnLun, command, header.netFnLun, header.command)) {
    *responseLength = -1;
    return failForeignReply(header.netFnLun, header.command);
  }
  return deliverReply(reply, count, response, responseCapacity, responseLength);
}

}  // namespace linuxplatform
