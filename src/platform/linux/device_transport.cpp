#include "platform/linux/device_transport.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/complain.h"
#include "platform/linux/ipmi_device.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace linuxplatform {
namespace {

struct DeviceWay {
  int fd = -1;
  long nextMsgid = 1;
};

DeviceWay& deviceOf(void* self) { return *static_cast<DeviceWay*>(self); }

const char* devicePath(bool* given) {
  const char* named = std::getenv(kDeviceVariable);
  *given = named != nullptr && *named != '\0';
  return *given ? named : kDefaultDevice;
}

// What the device named is when it is none that the kernel's IPMI driver
// made (a script's VELKORAN_IPMI_DEVICE=/dev/null); nullptr for one.
const char* notAnIpmiDevice(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return nullptr;
  if (S_ISREG(status.st_mode)) return "a regular file";
  if (S_ISFIFO(status.st_mode)) return "a FIFO";
  if (S_ISSOCK(status.st_mode)) return "a socket";
  unsigned int address = 0;
  if (S_ISCHR(status.st_mode) && ioctl(fd, IPMICTL_GET_MY_ADDRESS_CMD, &address) != 0 &&
      (errno == ENOTTY || errno == EINVAL)) {
    return "a device, but not the IPMI driver's";
  }
  return nullptr;
}

int openDevice(void* self) {
  DeviceWay& way = deviceOf(self);
  if (way.fd >= 0) return 0;
  bool given = false;
  const char* path = devicePath(&given);
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    if (const char* what = notAnIpmiDevice(fd)) {
      close(fd);
      complain("%s is %s: no BMC answers there (%s names the kernel's IPMI device, such as %s)",
               path, what, kDeviceVariable, kDefaultDevice);
      return -1;
    }
    way.fd = fd;
    toolContext.transferBoundSeconds = kReplyWaitMillis / 1000;
    return 0;
  }
  const int error = errno;
  if (!given && (error == ENOENT || error == ENODEV || error == ENXIO)) return 1;
  complain("cannot open the IPMI device %s: %s", path, std::strerror(error));
  if (error == EACCES || error == EPERM) complain("run it as root (or as a user the device lets in)");
  return -1;
}

int exchangeDevice(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                   int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                   int32_t* responseLength) {
  DeviceWay& way = deviceOf(self);
  KernelIpmiDevice device(way.fd);
  return ipmiDeviceTransfer(device, way.nextMsgid++, netFnLun, command, data, dataLength,
                            response, responseCapacity, responseLength);
}

int closeDevice(void* self) {
  DeviceWay& way = deviceOf(self);
  if (way.fd >= 0) close(way.fd);
  way.fd = -1;
  return 0;
}

// The device's numbers: every path to it is the same BMC.
int nameDevice(void*, char* name, size_t capacity) {
  bool given = false;
  const char* path = devicePath(&given);
  struct stat status;
  if (stat(path, &status) != 0) return given ? -1 : 1;
  if (!S_ISCHR(status.st_mode)) return -1;
  std::snprintf(name, capacity, "ipmi-%u-%u", major(status.st_rdev), minor(status.st_rdev));
  return 0;
}

constexpr TransportMethods kDeviceOps = {openDevice, exchangeDevice, closeDevice, nameDevice};

}  // namespace

TransportOps deviceTransport() {
  static DeviceWay way;
  return TransportOps{&kDeviceOps, &way, request::kMaxRequestData, request::kMaxResponseData};
}

}  // namespace linuxplatform
