// Configuration backup and restore.
#pragma once

#include <cstdint>

// Runs the backup or restore chosen by toolContext and ends the program.
[[noreturn]] void runConfigDriver();

// The "config" module's operations.
int8_t configPrepare();
int8_t configTransferBlocks();
int8_t configPostRestore();
int8_t configFinish();
