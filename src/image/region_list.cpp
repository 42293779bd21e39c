// The region list and the page scan of a kind-2 image.
#include "image/region_list.h"

#include "image/image_table.h"

namespace {

void putBigEndian32(uint8_t* out, uint64_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

}  // namespace

bool appendRegion(RegionList* list, uint64_t offset, uint64_t blockLength, uint64_t length) {
  if (list->count >= kMaxRegions) {
    list->refused = true;
    return false;
  }
  ImageRegion& region = list->regions[list->count];
  region.offset = offset;
  region.blockLength = blockLength;
  region.length = length;
  ++list->count;
  return true;
}

uint8_t buildRegionList(platform::File* file, uint64_t fileSize, uint8_t* pageBuffer,
                        RegionList* list) {
  *list = RegionList{};
  platform::fileSeek(file, 0);
  uint8_t tablePages = 0;
  for (uint64_t page = 0; page < fileSize; page += kPageSize) {
    // Only the bytes this page really holds are offered to the reader.
    const size_t held = platform::fileReadFully(file, pageBuffer, kPageSize);
    if (find_respective_image_info(pageBuffer, held, list) == 1 &&
        appendRegion(list, page, kTablePageRegionLength, kTablePageRegionLength)) {
      ++tablePages;
    }
    if (list->refused) {
      list->count = 0;
      return 0;
    }
    if (fileSize - page <= kPageSize) break;
    platform::fileSeek(file, static_cast<int64_t>(page + kPageSize));
  }
  return tablePages;
}

void describeRegion(const RegionList& list, uint8_t index,
                    uint8_t description[kBlockDescriptionLength]) {
  const ImageRegion region = index < kMaxRegions ? list.regions[index] : ImageRegion{};
  putBigEndian32(description, region.offset);
  putBigEndian32(description + 4, region.blockLength);
  putBigEndian32(description + 8, region.length);
  description[12] = index;
  description[13] = list.count;
}
