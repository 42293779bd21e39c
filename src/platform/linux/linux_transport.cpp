#include "platform/linux/linux_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/posix/posix.h"
#include "platform/linux/bmc_lock.h"
#include "platform/linux/extern_link.h"
#include "platform/linux/ipmi_device.h"
#include "platform/linux/lan_transport.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "state/unsettled.h"
#include "transport/kcs.h"

namespace linuxplatform {
namespace {

enum class Way { none, link, device, ports, lan };

struct Chosen {
  Way way = Way::none;
  int fd = -1;
  long nextMsgid = 1;
  std::unique_ptr<link::Client> client;
};

Chosen& chosen() {
  static Chosen instance;
  return instance;
}

volatile std::sig_atomic_t interrupt = 0;

// A line of the Linux build's own on stderr, after the console text so far.
// The run report keeps it too: it is often the only word on the cause.
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...) {
  char line[512];
  const int prefix = std::snprintf(line, sizeof line, "velkoran: ");
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
  va_end(args);
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", line);
  platform::tapDiagnostic(line, std::strlen(line));
}

int openLink(const char* value) {
  if (std::strcmp(value, "sim") == 0) {
    complain("%s=sim: this program has no simulated BMC (the test build velkoran-sim has)",
             kBmcVariable);
    return -1;
  }
  const std::optional<link::Address> address = link::parseAddress(value);
  if (!address) {
    complain("%s=\"%s\" is not unix:PATH or tcp:HOST:PORT", kBmcVariable, value);
    return -1;
  }
  if (address->unixSocket && address->path.size() > link::kMaximumSocketPath) {
    complain("%s: the socket path is %zu bytes long, longer than the %zu a UNIX socket takes",
             kBmcVariable, address->path.size(), link::kMaximumSocketPath);
    return -1;
  }
  chosen().client = std::make_unique<link::Client>(*address);
  chosen().way = Way::link;
  toolContext.transferBoundSeconds = link::kReplyWaitSeconds;
  return 0;
}

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

// 0 with the device open, 1 when there is no such device, -1 after a message.
int openDevice() {
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
    chosen().fd = fd;
    chosen().way = Way::device;
    toolContext.transferBoundSeconds = kReplyWaitMillis / 1000;
    return 0;
  }
  const int error = errno;
  if (!given && (error == ENOENT || error == ENODEV || error == ENXIO)) return 1;
  complain("cannot open the IPMI device %s: %s", path, std::strerror(error));
  if (error == EACCES || error == EPERM) complain("run it as root (or as a user the device lets in)");
  return -1;
}

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
bool loadKcsConfig() {
  const int fd = open("kcs.cfg", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 && errno == ELOOP) {
    complain("kcs.cfg is a symbolic link: its ports are not used");
    return false;
  }
  if (fd < 0 || fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    if (fd >= 0) close(fd);
    posixplatform::pinInput("kcs.cfg", -1);  // none: the standard ports
    kcsOpen();
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
  return kcsOpen() == 0;
}

// kcs.cfg is read once, for the lock and the ports alike.
enum class PortsConfig { unread, trusted, refused };
PortsConfig portsConfig = PortsConfig::unread;

bool kcsConfigTrusted() {
  if (portsConfig == PortsConfig::unread) {
    portsConfig = loadKcsConfig() ? PortsConfig::trusted : PortsConfig::refused;
  }
  return portsConfig == PortsConfig::trusted;
}

bool moduleLoaded(const char* name) {
  struct stat status;
  const std::string path = std::string("/sys/module/") + name;
  return stat(path.c_str(), &status) == 0;
}

// The KCS ports from kcs.cfg (or the defaults), if the kernel lets us at them.
int openPorts() {
  if (kernelDrivesKcs()) {
    if (moduleLoaded("ipmi_devintf")) {
      complain("the kernel's ipmi_si drives the KCS interface and ipmi_devintf is loaded, but "
               "there is no IPMI device (%s): the kernel did not take the BMC (see dmesg)",
               kDefaultDevice);
    } else {
      complain("the kernel's ipmi_si drives the KCS interface, but there is no IPMI device (%s): "
               "load its device interface: modprobe ipmi_devintf", kDefaultDevice);
    }
    return -1;
  }
  if (!kcsConfigTrusted()) return -1;
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
  chosen().way = Way::ports;
  return 0;
}

// The way to the BMC that open() will take, as a lock name; empty where
// open() will fail anyway.
std::string wayToTheBmc() {
  // Over LAN the BMC is the host and port as given (a name and its address
  // are not told to be the same BMC).
  if (lanRequested()) {
    return std::string("lan-") + toolContext.host + "-" +
           (toolContext.port[0] != '\0' ? toolContext.port : "623");
  }
  char text[64];
  const char* bmc = std::getenv(kBmcVariable);
  struct stat status;
  if (bmc != nullptr && *bmc != '\0') {
    const std::optional<link::Address> address = link::parseAddress(bmc);
    if (!address) return "";
    if (!address->unixSocket) return "tcp-" + address->host + "-" + std::to_string(address->port);
    if (stat(address->path.c_str(), &status) != 0) return "unix-" + address->path;
    std::snprintf(text, sizeof text, "unix-%lu-%lu", static_cast<unsigned long>(status.st_dev),
                  static_cast<unsigned long>(status.st_ino));
    return text;
  }
  bool given = false;
  const char* device = devicePath(&given);
  if (stat(device, &status) == 0) {
    std::snprintf(text, sizeof text, "ipmi-%u-%u", major(status.st_rdev), minor(status.st_rdev));
    return S_ISCHR(status.st_mode) ? text : "";
  }
  if (given || kernelDrivesKcs() || !kcsConfigTrusted()) return "";
  std::snprintf(text, sizeof text, "kcs-%04x-%04x", static_cast<unsigned>(toolContext.commandPort),
                static_cast<unsigned>(toolContext.dataPort));
  return text;
}

int transportOpen() {
  Chosen& c = chosen();
  // -i lan: the BMC it names, never the local one; a session per open.
  if (lanRequested()) {
    c.way = Way::lan;
    return lanOpen();
  }
  if (c.way != Way::none) return 0;  // one choice per process
  const char* bmc = std::getenv(kBmcVariable);
  if (bmc != nullptr && *bmc != '\0') return openLink(bmc);
  const int device = openDevice();
  if (device <= 0) return device;
  return openPorts();
}

int linkTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                 uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  if (dataLength < 0 || dataLength > kKcsMaxRequestData) return -1;
  link::Bytes message(static_cast<size_t>(dataLength) + 2);
  message[0] = netFnLun;
  message[1] = command;
  if (dataLength > 0) std::memcpy(message.data() + 2, data, static_cast<size_t>(dataLength));
  const std::optional<link::Bytes> reply = chosen().client->exchange(message);
  if (chosen().client->unanswered()) toolContext.silence.check();
  if (!reply) {
    *responseLength = -1;
    return -1;
  }
  return deliverMessageReply(netFnLun, command, reply->data(), static_cast<int32_t>(reply->size()),
                             response, responseCapacity, responseLength);
}

int chosenTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                   uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  Chosen& c = chosen();
  switch (c.way) {
    case Way::link:
      return linkTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                          responseLength);
    case Way::device: {
      KernelIpmiDevice device(c.fd);
      return ipmiDeviceTransfer(device, c.nextMsgid++, netFnLun, command, data, dataLength,
                                response, responseCapacity, responseLength);
    }
    case Way::ports:
      return kcsTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                         responseLength);
    case Way::lan:
      return lanTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                         responseLength);
    case Way::none:
      break;
  }
  return -1;
}

[[noreturn]] void endBySignal(int signal) {
  lanFarewell();
  std::fflush(stdout);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
}

// Acts on a signal that came while the image goes out (endRunIfStopped has
// ended the run at any other stage); true when this request must not go
// out. The cold reset that ends the update still goes.
bool refusedForInterrupt() {
  if (interrupt == 0 || toolContext.runRecord.stage != UpdateStage::kSending) return false;
  static bool told = false;
  if (!told) {
    told = true;
    complain("interrupted: the update stops here and the BMC is reset to its old firmware");
  }
  return true;
}

int transportTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                      uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  // A signal before an update began ends the run before this request: it
  // must not start one.
  endRunIfStopped();
  if (refusedForInterrupt()) return -1;
  return chosenTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                        responseLength);
}

int transportClose() { return chosen().way == Way::lan ? lanClose() : 0; }

// Only notes the signal: the run stops at its next request or wait, where
// it can still write its log and report (see endRunIfStopped).
void onInterrupt(int signal) {
  if (interrupt == 0) interrupt = signal;
}

}  // namespace

TransportOps linuxTransport() { return TransportOps{transportOpen, transportTransfer, transportClose}; }

void installInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // Every signal whose default action ends the program without a fault of
  // its own: a stray kill -USR1 or an alarm must not leave the BMC in update
  // mode either.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                     SIGPROF, SIGPWR, SIGIO}) {
    struct sigaction before {};
    // One ignored at the start (nohup, a caller's trap '' ...) stays ignored.
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
  // A closed pipe or a file past its size limit fails the write, which is
  // reported where it happens; the signal would end the run mid-update.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

int pendingInterrupt() { return interrupt; }

void endRunIfStopped() {
  static bool ending = false;
  const int signal = interrupt;
  const UpdateStage now = toolContext.runRecord.stage;
  // An image half sent ends with its cold reset, through the failed request.
  if (signal == 0 || ending || now == UpdateStage::kSending || now == UpdateStage::kResetting) {
    return;
  }
  ending = true;  // what the end itself waits for does not end it again
  if (now == UpdateStage::kProgramming) {
    complain("interrupted while the BMC writes its new firmware: it finishes on its own; "
             "do not reset it or remove the power before it has restarted");
    noteUnsettled();  // the console, the log and the report say so
  }
  finishRunRecord();
  endBySignal(signal);
}

bool claimBmc() {
  const std::string way = wayToTheBmc();
  if (way.empty()) return true;  // open() says what is wrong
  std::string problem;
  switch (lockBmc(way, &problem)) {
    case LockResult::taken:
      return true;
    case LockResult::busy:
      return false;
    case LockResult::unavailable:
      complain("cannot take the lock %s; other runs are not kept off this BMC", problem.c_str());
      return true;
  }
  return true;
}

}  // namespace linuxplatform
