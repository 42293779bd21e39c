// Configuration backup and restore.
#pragma once

#include <cstdint>

#include "state/tool_context.h"

// Runs the backup or restore chosen by toolContext and ends the program.
[[noreturn]] void runConfigDriver();

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
