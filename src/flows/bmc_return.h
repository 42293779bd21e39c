// Asking the BMC for its firmware revision (the standard Get Device ID
// request) and waiting for it to answer again after it restarts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/run_record.h"

// One Get Device ID request; true with the revision when the BMC answered,
// and in *available (when given) whether it said it is available (not busy
// with an update or its initialisation).
bool askFirmwareRevision(FirmwareRevision* revision, bool* available = nullptr);
// The "device available" bit of Get Device ID's firmware revision byte.
bool deviceAvailable(uint8_t firmwareRevisionByte);
// "7.11", or "unknown" for nullptr.
void formatRevision(const FirmwareRevision* revision, char* out, size_t capacity);
// "BMC firmware revision before the update: 7.11" (or unknown).
void printRevisionBefore(const FirmwareRevision* before);
// Asks every 5 seconds until the BMC answers and says it is available, for
// at most `seconds` in all (the time the transport spends on unanswered
// requests counts), then prints how long it took and the revision (kept in
// the run record), or notes that the BMC did not come back: silent, or still
// busy with an update or its initialisation. A BMC silent for 10 seconds is
// said once.
// `before` (may be nullptr) is the revision the run started with.
void waitForBmcReturn(uint32_t seconds, const FirmwareRevision* before);
