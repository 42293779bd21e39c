// A rig for configuration runs: the simulated BMC with the configuration
// handler installed and a stored configuration, plus helpers to read the
// requests it received and the console text after the command-line echo.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sim/config_bmc.h"
#include "sim/rig.h"

namespace configtest {

using sim::Bytes;

inline Bytes patternBytes(size_t count, uint8_t seed = 0) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3 + seed);
  return bytes;
}

inline std::string progressLine(unsigned long processed, long percent) {
  char line[128];
  std::snprintf(line, sizeof line,
                "Bytes Processed data length : 0x%4lx Bytes Transmit Progress : %4ld %%\r",
                processed, percent);
  return line;
}

inline std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

inline const std::string kAbnormalC1 = "[doIPMICmd] Abnormal. CompCode == 0xc1\n";

inline std::string totalLine(long total) {
  char line[64];
  std::snprintf(line, sizeof line, "Total data length : %9ld\n", total);
  return line;
}

inline const std::string kBackupHead =
    "=== IPMI Configuration Backup Mode ===\nData preparing........\n";
inline const std::string kRestoreHead =
    "=== IPMI Configuration Restore Mode ===\nData preparing........\n";
inline const std::string kBackupDone = "Done.\n";
inline const std::string kRestoreDone =
    "Done. Please wait at least 1 minute to restore configurations.\n";
inline const std::string kFailed = "Operation Failed.\n";

struct ConfigRig {
  sim::Rig rig;
  sim::ConfigBmc config{rig.bmc};

  explicit ConfigRig(size_t storeLength = 100) { config.store = patternBytes(storeLength); }

  sim::RunResult run(const std::vector<std::string>& arguments) {
    sim::RunResult result = rig.run(arguments);
    // Keep only what the configuration driver printed.
    std::string echo;
    for (const std::string& argument : arguments) echo += argument + " ";
    echo += "\n";
    const size_t at = result.console.find(echo);
    if (at != std::string::npos) result.console.erase(0, at + echo.size());
    return result;
  }
  sim::RunResult backup(const std::string& file = "backup.bin") {
    return run({"Velkoran.efi", "-c", "-d", file});
  }
  sim::RunResult restore(const std::string& file = "restore.bin") {
    return run({"Velkoran.efi", "-c", "-f", file});
  }

  // The data of every configuration request, in order.
  std::vector<Bytes> requests() const {
    std::vector<Bytes> found;
    for (const Bytes& message : rig.bmc.received) {
      if (message.size() >= 2 && message[0] == 0xF8 && message[1] == 0x20) {
        found.emplace_back(message.begin() + 2, message.end());
      }
    }
    return found;
  }
  size_t countRequests(sim::ConfigOp op) const {
    size_t count = 0;
    for (const Bytes& data : requests()) count += sim::classifyConfigRequest(data) == op;
    return count;
  }
};

}  // namespace configtest
