// build/host/velkoran-sim: the program on the test platform (virtual clock),
// console on stdout, for tests and tools.
#include "app/run.h"
#include "sim/host_link.h"

int main(int argc, char** argv) {
  // VELKORAN_BMC=sim, unix:PATH or tcp:HOST:PORT puts a BMC on the KCS ports.
  if (!sim::attachBmcFromEnvironment()) return 2;
  return velkoranMain(argc, argv);
}
