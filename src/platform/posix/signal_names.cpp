// The names of the signals that may stop a run, for its log and report.
#include <csignal>

#include "platform/posix/posix.h"

namespace posixplatform {

const char* signalName(int signal) {
  static const struct {
    int number;
    const char* name;
  } kNames[] = {{SIGINT, "SIGINT"},     {SIGTERM, "SIGTERM"},     {SIGHUP, "SIGHUP"},
                {SIGQUIT, "SIGQUIT"},   {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},
                {SIGALRM, "SIGALRM"},   {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
                {SIGPWR, "SIGPWR"},     {SIGIO, "SIGIO"}};
  for (const auto& known : kNames) {
    if (known.number == signal) return known.name;
  }
  return signal == 0 ? nullptr : "SIGNAL";
}

}  // namespace posixplatform
