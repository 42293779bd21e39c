// Image kinds, the region list and the page scan of an image file.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kPageSize = 0x8000;
constexpr uint64_t kTablePageRegionLength = 0x40000;

// Appends to toolContext.regions. Returns false (and writes nothing) when the
// list is full.
bool appendRegion(uint64_t offset, uint64_t blockLength, uint64_t length);
// Scans the file page by page; returns the number of pages holding a table.
uint8_t buildRegionList(platform::File* file, uint64_t fileSize, uint8_t* pageBuffer);
