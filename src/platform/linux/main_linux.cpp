// velkoran for Linux: the program on a running server, reaching the BMC
// through the kernel's IPMI driver (or the KCS ports, or an external BMC),
// or another server's BMC over the network (-i lan).
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "app/run.h"
#include "platform/linux/lan_password.h"
#include "platform/linux/linux_transport.h"

namespace {

// A descriptor 0 to 2 that the caller closed would be the next file opened
// (a dump, a backup), and console text would land in it: they lead to
// /dev/null instead.
void openClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace

int main(int argc, char** argv) {
  openClosedStandardDescriptors();
  // Unbuffered: what was printed is out when a signal ends the program.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  linuxplatform::installInterruptHandlers();
  offerTransport(linuxplatform::linuxTransport());
  offerBmcClaim(linuxplatform::claimBmc);
  offerLan(linuxplatform::findLanPassword);
  // A Linux program tells its caller what happened through its exit status.
  const int status = velkoranMain(argc, argv, true);
  std::fflush(stdout);
  if (const int signal = linuxplatform::pendingInterrupt()) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  return status;
}
