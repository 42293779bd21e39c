// velkoran for Linux: the program on a running server, reaching the BMC
// through the kernel's IPMI driver (or the KCS ports, or an external BMC).
#include "app/run.h"
#include "platform/linux/linux_transport.h"

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
  linuxplatform::installInterruptHandlers();
  offerTransport(linuxplatform::linuxTransport());
  // A Linux program tells its caller what happened through its exit status.
  const int status = velkoranMain(argc, argv, true);
  std::fflush(stdout);
  if (const int signal = linuxplatform::pendingInterrupt()) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  return status;
}
