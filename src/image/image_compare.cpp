#include "image/image_compare.h"

#include "platform/format.h"

namespace {

constexpr size_t kSliceBytes = 512;

// Reads up to count bytes at position; returns how many it got.
size_t readAt(platform::File* file, uint64_t position, uint8_t* out, size_t count) {
  if (platform::fileSeek(file, static_cast<int64_t>(position)) != 0) return 0;
  size_t held = 0;
  while (held < count) {
    const size_t got = platform::fileRead(file, out + held, count - held);
    if (got == 0) break;
    held += got;
  }
  return held;
}

void countDifference(RegionComparison* result, uint64_t offset, uint64_t count) {
  if (count == 0) return;
  if (result->differing == 0) result->firstDifference = offset;
  result->differing += count;
}

}  // namespace

bool measureOpenFile(platform::File* file, uint64_t* size) {
  if (platform::fileSeekEnd(file) != 0) return false;
  const int64_t end = platform::fileTell(file);
  if (end < 0 || platform::fileSeek(file, 0) != 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

bool compareRegion(platform::File* image, uint64_t imageSize, platform::File* dump,
                   uint64_t dumpSize, const ImageRegion& region, RegionComparison* result) {
  *result = RegionComparison{region.offset, 0, 0, 0};
  if (region.offset >= imageSize) return true;
  const uint64_t inImage = imageSize - region.offset;
  result->length = region.length < inImage ? region.length : inImage;
  uint8_t expected[kSliceBytes];
  uint8_t actual[kSliceBytes];
  for (uint64_t done = 0; done < result->length;) {
    const uint64_t left = result->length - done;
    const size_t slice = left < kSliceBytes ? static_cast<size_t>(left) : kSliceBytes;
    const uint64_t position = region.offset + done;
    if (readAt(image, position, expected, slice) != slice) return false;
    const uint64_t inDump = position < dumpSize ? dumpSize - position : 0;
    const size_t wanted = inDump < slice ? static_cast<size_t>(inDump) : slice;
    const size_t got = wanted == 0 ? 0 : readAt(dump, position, actual, wanted);
    if (got != wanted) return false;
    for (size_t n = 0; n < got; ++n) {
      if (expected[n] != actual[n]) countDifference(result, position + n, 1);
    }
    countDifference(result, position + got, slice - got);  // missing from the dump
    done += slice;
  }
  return true;
}

size_t describeComparison(char* out, size_t capacity, unsigned index,
                          const RegionComparison& comparison) {
  if (comparison.differing == 0) {
    return platform::formatText(out, capacity, "Region %u at 0x%lx, %lu bytes: equal\n", index,
                                static_cast<unsigned long>(comparison.offset),
                                static_cast<unsigned long>(comparison.length));
  }
  return platform::formatText(
      out, capacity, "Region %u at 0x%lx, %lu bytes: %lu bytes differ, the first at 0x%lx\n",
      index, static_cast<unsigned long>(comparison.offset),
      static_cast<unsigned long>(comparison.length),
      static_cast<unsigned long>(comparison.differing),
      static_cast<unsigned long>(comparison.firstDifference));
}
