// Image kinds, the region list and the page scan of an image file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/image_region.h"
#include "platform/platform.h"

constexpr uint32_t kPageSize = 0x8000;
constexpr uint64_t kTablePageRegionLength = 0x40000;

constexpr size_t kBlockDescriptionLength = 14;

// Appends to the list. Returns false (and writes nothing) when the list is
// full, and marks it refused.
bool appendRegion(RegionList* list, uint64_t offset, uint64_t blockLength, uint64_t length);
// Scans the file page by page into `list`, which starts out empty whatever it
// held; returns the number of pages holding a table. An image whose tables
// would overflow the list is refused as a whole: the result is 0, the list is
// left empty and marked refused.
uint8_t buildRegionList(platform::File* file, uint64_t fileSize, uint8_t* pageBuffer,
                        RegionList* list);
// The block description of the list's region `index` as the update sends it:
// offset, blockLength and length as their low 32 bits, most significant byte
// first, then the index and the region count.
void describeRegion(const RegionList& list, uint8_t index,
                    uint8_t description[kBlockDescriptionLength]);
