// The kernel's IPMI device (/dev/ipmi0) as a transfer with the KCS
// interface's contract: completion code or -1, the response data after the
// completion code, and the same error line when the BMC does not answer.
#pragma once

#include <linux/ipmi.h>

#include <cstdint>

namespace linuxplatform {

// The three things a transfer asks of the device; tests give a fake one.
class IpmiDeviceIo {
 public:
  virtual ~IpmiDeviceIo() = default;
  // IPMICTL_SEND_COMMAND: 0, or -errno.
  virtual int send(ipmi_req* request) = 0;
  // Waits until a message can be received: 1, 0 when the time ran out, or
  // -errno (-EINTR when a signal came).
  virtual int waitReadable(int timeoutMillis) = 0;
  // IPMICTL_RECEIVE_MSG_TRUNC: 0, or -errno.
  virtual int receive(ipmi_recv* message) = 0;
  // Milliseconds on a monotonic clock.
  virtual int64_t nowMillis() = 0;
};

// The device behind a file descriptor.
class KernelIpmiDevice : public IpmiDeviceIo {
 public:
  explicit KernelIpmiDevice(int fd) : fd_(fd) {}
  int send(ipmi_req* request) override;
  int waitReadable(int timeoutMillis) override;
  int receive(ipmi_recv* message) override;
  int64_t nowMillis() override;

 private:
  int fd_;
};

// How long a transfer waits for its reply. The kernel's KCS driver retries
// a silent or confused BMC for up to about a minute and then answers by
// itself (completion code 0xFF); waiting longer than that keeps its queue and
// our requests in step (the cold reset after a failure gets through), so this
// bound only catches a driver that never answers at all.
constexpr int kReplyWaitMillis = 90000;

// One request through the device, to the BMC over the system interface.
// `msgid` tells this request's reply from late replies to earlier ones; a
// reply whose network function, LUN or command is not the request's is a
// transport failure. A wait that passes 10 seconds says so once (the
// request's notice in the tool state, or the transfer's own).
int ipmiDeviceTransfer(IpmiDeviceIo& device, long msgid, uint8_t netFnLun, uint8_t command,
                       const uint8_t* data, int32_t dataLength, uint8_t* response,
                       int32_t responseCapacity, int32_t* responseLength);

// Hands a reply (completion code first, then its data) to the caller as the
// KCS transfer does: the completion code, or -1 with *responseLength -1 when
// there is no completion code or more data than a KCS reply can carry.
int deliverReply(const uint8_t* reply, int32_t count, uint8_t* response,
                 int32_t responseCapacity, int32_t* responseLength);
// The same for a whole reply message (network function and LUN, command,
// completion code, data) to the request netFnLun/command: one that answers
// another request is a transport failure, said as the KCS transfer says it.
int deliverMessageReply(uint8_t netFnLun, uint8_t command, const uint8_t* reply, int32_t count,
                        uint8_t* response, int32_t responseCapacity, int32_t* responseLength);

}  // namespace linuxplatform
