// Benchmark helper, not part of the product: in a Linux guest, the firmware
// update's chunk exchanges through the kernel's IPMI device (/dev/ipmi0) by
// a bare ioctl loop, so that bmcsim can time them against the same exchanges
// made by velkoran in the same boot. It sends GetFWUpdateInfo (a new update
// for bmcsim), one block description and the chunks of one region of
// kChunks * 49 + 1 bytes, then prints its own mean time per chunk.
// The chunks alternate between the bare loop and velkoran's own transfer
// through the device (ipmiDeviceTransfer), each timed here, so that the two
// meet the same moments of a busy machine; the medians of each kind follow.
#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/linux/ipmi_device.h"
#include "state/tool_context.h"
#include "transport/kcs.h"

// The device transfer prints its error lines through the platform's console
// and keeps the unanswered-request notice in the tool state.
namespace platform {
void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}
void flush() { std::fflush(stdout); }
uint64_t monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
}
}  // namespace platform

ToolContext toolContext{};

int failForeignReply(uint8_t replyNetFn, uint8_t replyCommand) {
  std::printf("foreign reply %02x %02x\n", replyNetFn, replyCommand);
  return -1;
}

namespace {

constexpr uint32_t kChunks = 6000;
constexpr int kWaitMillis = 10000;

// One request and its reply; returns the completion code or -1.
int exchange(int fd, uint8_t command, const uint8_t* data, unsigned short length) {
  static long msgid = 0;
  ipmi_system_interface_addr to{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
  ipmi_req request{};
  request.addr = reinterpret_cast<unsigned char*>(&to);
  request.addr_len = sizeof to;
  request.msgid = ++msgid;
  request.msg.netfn = 0x3E;
  request.msg.cmd = command;
  request.msg.data = const_cast<uint8_t*>(data);
  request.msg.data_len = length;
  if (ioctl(fd, IPMICTL_SEND_COMMAND, &request) != 0) return -1;
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, kWaitMillis) != 1) return -1;
  uint8_t reply[IPMI_MAX_MSG_LENGTH];
  ipmi_addr from{};
  ipmi_recv message{};
  message.addr = reinterpret_cast<unsigned char*>(&from);
  message.addr_len = sizeof from;
  message.msg.data = reply;
  message.msg.data_len = sizeof reply;
  if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &message) != 0 || message.msgid != msgid ||
      message.msg.data_len < 1) {
    return -1;
  }
  return reply[0];
}

double seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/dev/ipmi0";
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path);
    return 1;
  }
  const uint32_t length = kChunks * 49 + 1;
  const uint8_t info[] = {1};
  // Offset 0, block length 0x50000, the length, index 0 of 1 region.
  uint8_t block[14] = {0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 1};
  for (int n = 0; n < 4; ++n) block[8 + n] = uint8_t(length >> (24 - 8 * n));
  uint8_t chunk[50] = {0};
  for (int n = 1; n < 50; ++n) chunk[n] = uint8_t(n);
  bool ok = exchange(fd, 0x16, info, sizeof info) == 0 && exchange(fd, 0x14, block, sizeof block) == 0;
  linuxplatform::KernelIpmiDevice device(fd);
  std::vector<double> bare, transfer;
  for (uint32_t n = 0; ok && n < kChunks; ++n) {
    const double start = seconds();
    if (n % 2 == 0) {
      ok = exchange(fd, 0x15, chunk, sizeof chunk) == 0;
      bare.push_back(seconds() - start);
    } else {
      uint8_t response[125];
      int32_t length = 0;
      ok = linuxplatform::ipmiDeviceTransfer(device, 1000000 + n, 0xF8, 0x15, chunk, sizeof chunk,
                                             response, sizeof response, &length) == 0;
      transfer.push_back(seconds() - start);
    }
  }
  const uint8_t last[] = {1, 0x55};
  ok = ok && exchange(fd, 0x15, last, sizeof last) == 0;
  for (auto* times : {&bare, &transfer}) std::sort(times->begin(), times->end());
  const auto median = [](const std::vector<double>& v) { return v.empty() ? 0 : v[v.size() / 2] * 1e6; };
  std::printf("CHUNK BENCH %s, %u chunks: bare ioctl loop median %.1f us, "
              "ipmiDeviceTransfer median %.1f us\n",
              ok ? "DONE" : "FAILED", kChunks, median(bare), median(transfer));
  close(fd);
  return ok ? 0 : 1;
}
