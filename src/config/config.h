// Configuration backup and restore.
#pragma once

#include <cstdint>

#include "state/tool_context.h"

// Runs the backup or restore chosen by toolContext; reachBmc opens the way
// to the BMC once the task's file is ready (false: none, outcome noted).
// Returns 0 when the task succeeded, -1 after "Operation Failed.".
int runConfigDriver(bool (*reachBmc)());

// The "config" module's operations.
int8_t configPrepare();
int8_t configTransferBlocks();
int8_t configPostRestore();
int8_t configFinish();

// The module table's entries, usable in toolContext's constant initialiser.
inline constexpr ConfigModule kConfigModule{
    "config", 1, configPrepare, configTransferBlocks, configPostRestore, configFinish};
inline constexpr ConfigModule kEmptyConfigModule{nullptr, 0, nullptr, nullptr, nullptr,
                                                 nullptr};
