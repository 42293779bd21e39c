// Asking the BMC for its firmware revision (the standard Get Device ID
// request) and waiting for it to answer again after it restarts.
#pragma once

#include <cstdint>

struct FirmwareRevision {
  uint8_t major;  // 7 bits
  uint8_t minor;  // two BCD digits
};

// One Get Device ID request; true with the revision when the BMC answered.
bool askFirmwareRevision(FirmwareRevision* revision);
// "BMC firmware revision before the update: 7.11" (or unknown).
void printRevisionBefore(const FirmwareRevision* before);
// Asks every 5 seconds until the BMC answers, for at most `seconds` in all
// (the time the transport spends on unanswered requests counts), then prints
// how long it took and the revision, or notes that the BMC did not come back.
// `before` (may be nullptr) is the revision the run started with.
void waitForBmcReturn(uint32_t seconds, const FirmwareRevision* before);
