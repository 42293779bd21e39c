// The regions an image's tables name, in a list its caller owns.
#pragma once

#include <cstdint>

struct ImageRegion {
  uint64_t offset;
  uint64_t blockLength;
  uint64_t length;
};

constexpr int kMaxRegions = 8;

struct RegionList {
  ImageRegion regions[kMaxRegions];
  uint8_t count;
  bool refused;  // a table would have added a region past the last
};
