// build/host/velkoran: the program on Linux, console on stdout.
#include "app/run.h"
#include "sim/host_link.h"

int main(int argc, char** argv) {
  // VELKORAN_BMC=unix:PATH or tcp:HOST:PORT puts an external BMC on the KCS ports.
  if (!sim::attachBmcFromEnvironment()) return 2;
  return velkoranMain(argc, argv);
}
