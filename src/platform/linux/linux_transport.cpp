#include "platform/linux/linux_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/io.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/linux/extern_link.h"
#include "platform/linux/ipmi_device.h"
#include "platform/linux/lan_transport.h"
#include "platform/platform.h"
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

volatile std::sig_atomic_t stage = static_cast<int>(UpdateStage::none);
volatile std::sig_atomic_t interrupt = 0;

// A line of the Linux build's own on stderr, after the console text so far.
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...) {
  std::fflush(stdout);
  std::fprintf(stderr, "velkoran: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
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
  return 0;
}

// 0 with the device open, 1 when there is no such device, -1 after a message.
int openDevice() {
  const char* named = std::getenv(kDeviceVariable);
  const bool given = named != nullptr && *named != '\0';
  const char* path = given ? named : kDefaultDevice;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    chosen().fd = fd;
    chosen().way = Way::device;
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
bool kcsConfigTrusted() {
  struct stat status;
  if (lstat("kcs.cfg", &status) != 0) return true;  // none: the standard ports
  if (status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
  complain("kcs.cfg is owned by another user or writable by others: its ports are not used");
  return false;
}

// The KCS ports from kcs.cfg (or the defaults), if the kernel lets us at them.
int openPorts() {
  if (kernelDrivesKcs()) {
    complain("the kernel's ipmi_si drives the KCS interface, but there is no IPMI device (%s): "
             "load its device interface: modprobe ipmi_devintf", kDefaultDevice);
    return -1;
  }
  if (!kcsConfigTrusted()) return -1;
  kcsOpen();
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
  // Past netFn and command: the completion code and the data.
  if (!reply || reply->size() < 3) {
    *responseLength = -1;
    return -1;
  }
  return deliverReply(reply->data() + 2, static_cast<int32_t>(reply->size() - 2), response,
                      responseCapacity, responseLength);
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

constexpr uint8_t kNetFnLunApp = 0x18;
constexpr uint8_t kCmdColdReset = 0x02;
constexpr uint8_t kNetFnLunOem = 0xF8;
constexpr uint8_t kCmdGetFWUpdateInfo = 0x16;
constexpr uint8_t kCmdGetFWUpdateProgress = 0x17;

[[noreturn]] void endBySignal(int signal) {
  lanFarewell();
  std::fflush(stdout);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
}

// Acts on a signal that came during an update; true when this request must
// not go out.
bool refusedForInterrupt(uint8_t netFnLun, uint8_t command) {
  if (interrupt == 0) return false;
  const auto now = static_cast<UpdateStage>(stage);
  if (now == UpdateStage::programming) {
    complain("interrupted while the BMC writes its new firmware: it finishes on its own; "
             "do not reset it or remove the power before it has restarted");
    // The log and the report say so too, as the run's outcome.
    noteUnsettled();
    finishRunRecord();
    endBySignal(interrupt);
  }
  // Nothing waits for the BMC after the cold reset: the run ends with it.
  toolContext.runRecord.interrupted = true;
  if (netFnLun == kNetFnLunApp && command == kCmdColdReset) return false;
  static bool told = false;
  if (!told) {
    told = true;
    complain("interrupted: the update stops here and the BMC is reset to its old firmware");
  }
  return true;
}

int transportTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                      uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  stage = static_cast<int>(updateStageAfter(static_cast<UpdateStage>(stage), netFnLun, command));
  if (refusedForInterrupt(netFnLun, command)) return -1;
  return chosenTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                        responseLength);
}

int transportClose() { return chosen().way == Way::lan ? lanClose() : 0; }

void onInterrupt(int signal) {
  if (static_cast<UpdateStage>(stage) == UpdateStage::none) {
    lanFarewell();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  interrupt = signal;
}

}  // namespace

UpdateStage updateStageAfter(UpdateStage stage, uint8_t netFnLun, uint8_t command) {
  if (netFnLun == kNetFnLunOem && command == kCmdGetFWUpdateInfo) return UpdateStage::sending;
  if (netFnLun == kNetFnLunOem && command == kCmdGetFWUpdateProgress &&
      stage == UpdateStage::sending) {
    return UpdateStage::programming;
  }
  return stage;
}

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

}  // namespace linuxplatform
