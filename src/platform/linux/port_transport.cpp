#include "platform/linux/port_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/io.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/complain.h"
#include "platform/linux/device_transport.h"
#include "platform/posix/posix.h"
#include "state/tool_context.h"
#include "transport/kcs.h"

namespace linuxplatform {
namespace {

// kcs.cfg is read once, for the lock and the ports alike.
enum class PortsConfig { unread, trusted, refused };

struct PortWay {
  PortsConfig config = PortsConfig::unread;
  bool open = false;
  TransportOps kcs = kcsTransport();
};

PortWay& portsOf(void* self) { return *static_cast<PortWay*>(self); }

// True when the kernel's KCS driver has taken an interface: it polls the
// ports itself, and exchanges of ours in between would garble both.
bool kernelDrivesKcs() {
  DIR* driver = opendir(kKernelKcsDriver);
  if (driver == nullptr) return false;
  bool bound = false;
  while (const dirent* entry = readdir(driver)) {
    // Bound devices are links beside the driver's files; "module" is one too.
    if (entry->d_type == DT_LNK && std::strcmp(entry->d_name, "module") != 0) bound = true;
  }
  closedir(driver);
  return bound;
}

// kcs.cfg names the I/O ports that root then writes to: one that another
// user owns or may change could point them at any device of the machine.
// The file checked is the file read: one descriptor, no second lookup.
bool loadKcsConfig(const TransportOps& kcs) {
  const int fd = open("kcs.cfg", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 && errno == ELOOP) {
    complain("kcs.cfg is a symbolic link: its ports are not used");
    return false;
  }
  if (fd < 0 || fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    if (fd >= 0) close(fd);
    posixplatform::pinInput("kcs.cfg", -1);  // none: the standard ports
    kcs.open();
    return true;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    complain("kcs.cfg is owned by another user or writable by others: its ports are not used");
    return false;
  }
  posixplatform::pinInput("kcs.cfg", fd);
  // A file that names no valid ports has said so with its own line.
  return kcs.open() == 0;
}

bool kcsConfigTrusted(PortWay& way) {
  if (way.config == PortsConfig::unread) {
    way.config = loadKcsConfig(way.kcs) ? PortsConfig::trusted : PortsConfig::refused;
  }
  return way.config == PortsConfig::trusted;
}

bool moduleLoaded(const char* name) {
  struct stat status;
  const std::string path = std::string("/sys/module/") + name;
  return stat(path.c_str(), &status) == 0;
}

void complainKernelDrivesKcs() {
  if (moduleLoaded("ipmi_devintf")) {
    complain("the kernel's ipmi_si drives the KCS interface and ipmi_devintf is loaded, but "
             "there is no IPMI device (%s): the kernel did not take the BMC (see dmesg)",
             kDefaultDevice);
  } else {
    complain("the kernel's ipmi_si drives the KCS interface, but there is no IPMI device (%s): "
             "load its device interface: modprobe ipmi_devintf", kDefaultDevice);
  }
}

// The KCS ports from kcs.cfg (or the defaults), if the kernel lets us at them.
int openPorts(void* self) {
  PortWay& way = portsOf(self);
  if (way.open) return 0;
  if (kernelDrivesKcs()) {
    complainKernelDrivesKcs();
    return -1;
  }
  if (!kcsConfigTrusted(way)) return -1;
  const uint64_t ports[] = {toolContext.commandPort, toolContext.dataPort, toolContext.statusPort};
  for (uint64_t port : ports) {
    if (port <= 0xFFFF && ioperm(static_cast<unsigned long>(port), 1, 1) == 0) continue;
    const int error = port <= 0xFFFF ? errno : EINVAL;
    char where[24];
    std::snprintf(where, sizeof where, "%#lx", static_cast<unsigned long>(port));
    complain("no IPMI device (%s) and no access to the KCS port %s", kDefaultDevice, where);
    complain("%s; load the kernel's driver instead: modprobe ipmi_si ipmi_devintf",
             error == EPERM ? "port access needs root" : std::strerror(error));
    return -1;
  }
  way.open = true;
  return 0;
}

int exchangePorts(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                  int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                  int32_t* responseLength) {
  return portsOf(self).kcs.transfer(netFnLun, command, data, dataLength, response,
                                    responseCapacity, responseLength);
}

int closePorts(void* self) {
  PortWay& way = portsOf(self);
  way.open = false;
  return way.kcs.close();
}

// Ports the program will not use name no BMC: open says why.
int namePorts(void* self, char* name, size_t capacity) {
  PortWay& way = portsOf(self);
  if (kernelDrivesKcs() || !kcsConfigTrusted(way)) return -1;
  return way.kcs.nameBmc(name, capacity);
}

constexpr TransportMethods kPortOps = {openPorts, exchangePorts, closePorts, namePorts};

}  // namespace

TransportOps portTransport() {
  static PortWay way;
  return TransportOps{&kPortOps, &way, way.kcs.maxRequestData, way.kcs.maxResponseData};
}

}  // namespace linuxplatform
