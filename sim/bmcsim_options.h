// The command-line options of bmcsim, gathered from option modules so that
// each simulated subsystem brings its own (scenario, faults, files).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bmc.h"

namespace sim {

class AppBmc;
struct LanConfig;

// What the options set up, besides the Bmc itself.
struct BmcsimSettings {
  Bmc& bmc;
  std::string listen;       // "unix:PATH" or "tcp:HOST:PORT"
  std::string journalPath;  // empty: no journal
  bool once = false;        // end after the first connection closes
  // Run when bmcsim ends (SIGTERM, SIGINT, --once): write kept files here.
  std::vector<std::function<void()>> atExit;
  // Get Device ID and the reboot after an update or a cold reset.
  AppBmc* app = nullptr;
  // The LAN channel's address, user and knobs (always set by main).
  LanConfig* lan = nullptr;
};

struct BmcsimOption {
  const char* name;      // e.g. "--journal"
  const char* argument;  // e.g. "FILE"; nullptr for a flag
  const char* help;
  // value is nullptr for a flag; false rejects the value (bmcsim then
  // prints the usage and ends).
  std::function<bool(BmcsimSettings& settings, const char* value)> apply;
};

using BmcsimOptionModule = void (*)(std::vector<BmcsimOption>& options);

// The link and journal options and the generic fault knobs.
void addLinkOptions(std::vector<BmcsimOption>& options);
void addFaultOptions(std::vector<BmcsimOption>& options);

}  // namespace sim
