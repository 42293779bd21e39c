#include "platform/linux/linux_transport.h"

#include <csignal>
#include <string>

#include "platform/linux/bmc_lock.h"
#include "platform/linux/complain.h"
#include "platform/linux/lan_transport.h"
#include "platform/linux/transport_choice.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "state/unsettled.h"

namespace linuxplatform {
namespace {

volatile std::sig_atomic_t interrupt = 0;

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

const TransportOps& chosenOf(void* self) { return *static_cast<const TransportOps*>(self); }

int openWatched(void* self) { return chosenOf(self).open(); }

int exchangeWatched(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                    int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                    int32_t* responseLength) {
  // A signal before an update began ends the run before this request: it
  // must not start one.
  endRunIfStopped();
  if (refusedForInterrupt()) return -1;
  return chosenOf(self).transfer(netFnLun, command, data, dataLength, response, responseCapacity,
                                 responseLength);
}

int closeWatched(void* self) { return chosenOf(self).close(); }

int nameWatched(void* self, char* name, size_t capacity) {
  return chosenOf(self).nameBmc(name, capacity);
}

// The chosen way, with every request first looking at the signals.
constexpr TransportMethods kWatchedOps = {openWatched, exchangeWatched, closeWatched, nameWatched};

// Only notes the signal: the run stops at its next request or wait, where
// it can still write its log and report (see endRunIfStopped).
void onInterrupt(int signal) {
  if (interrupt == 0) interrupt = signal;
}

}  // namespace

TransportOps linuxTransport() {
  static const TransportOps chosen = chosenTransport();
  return TransportOps{&kWatchedOps, const_cast<TransportOps*>(&chosen), chosen.maxRequestData,
                   chosen.maxResponseData};
}

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

bool claimBmc(const char* bmcName) {
  std::string problem;
  switch (lockBmc(bmcName, &problem)) {
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
