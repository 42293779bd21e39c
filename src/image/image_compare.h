// Compares a flash dump with the image it should hold, region by region, as
// the update would have written the image: the region list from the image's
// tables, and only the bytes the image file itself holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/image_region.h"
#include "platform/platform.h"

struct RegionComparison {
  uint64_t offset;           // where the region starts, in both files
  uint64_t length;           // bytes compared: the part of the region the image holds
  uint64_t differing;        // bytes that differ; bytes the dump lacks count
  uint64_t firstDifference;  // offset of the first one, when differing > 0
};

// Compares one region; false when a file could not be read.
bool compareRegion(platform::File* image, uint64_t imageSize, platform::File* dump,
                   uint64_t dumpSize, const ImageRegion& region, RegionComparison* result);
// The verdict line for region `index`, "\n" included; returns its length.
size_t describeComparison(char* out, size_t capacity, unsigned index,
                          const RegionComparison& comparison);
// The size of an open file (by seeking to its end); false on failure.
bool measureOpenFile(platform::File* file, uint64_t* size);
