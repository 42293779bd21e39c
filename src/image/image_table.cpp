// The image table reader. A page holds its table as plain text, or
// enciphered in its first 192 bytes.
#include "image/image_table.h"

#include "image/aes.h"
#include "image/entry_fields.h"
#include "image/region_list.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr char kEntryMarker[] = "[img]: ";
constexpr size_t kEntryMarkerLength = sizeof(kEntryMarker) - 1;
constexpr char kEndMarker[] = "[end]";
constexpr size_t kEncipheredTableLength = 192;
constexpr char kWebfsImageName[] = "out_webfs_img.bin";
constexpr size_t kWebfsPrefixLength = sizeof(kWebfsImageName) - 1;
constexpr uint64_t kWebfsSizeAdjustment = 0x16;
constexpr uint64_t kBlockUnit = 0x10000;

static_assert(kEncipheredTableLength % aes::kBlockSize == 0);

uint64_t adjustedSize(const EntryFields& fields) {
  bool webfs = text::lengthWithin(fields.name, kWebfsPrefixLength) == kWebfsPrefixLength;
  for (size_t i = 0; webfs && i < kWebfsPrefixLength; ++i) {
    webfs = fields.name[i] == kWebfsImageName[i];
  }
  return webfs ? fields.size + kWebfsSizeAdjustment : fields.size;
}

uint64_t roundUpToBlock(uint64_t size) {
  if ((size & (kBlockUnit - 1)) == 0) return size;
  return (size & ~(kBlockUnit - 1)) + kBlockUnit;
}

const char* findMarker(const char* from, const char* end, const char* marker) {
  return text::find(from, static_cast<size_t>(end - from), marker);
}

int reportFormatError() {
  platform::print("find_respective_image_info() : image format err!!\n");
  return 0;
}

// Reads every entry of a table text that is known to hold an entry marker.
// An entry ends at the next entry marker, else at the next end marker; the
// search for a further entry goes on from there, even past an end marker.
int readTableEntries(const char* tableText, size_t length) {
  const char* end = tableText + length;
  const char* entry = findMarker(tableText, end, kEntryMarker);
  int result = 0;
  while (entry != nullptr) {
    const char* fieldsStart = entry + kEntryMarkerLength;
    const char* entryEnd = findMarker(fieldsStart, end, kEntryMarker);
    if (entryEnd == nullptr) entryEnd = findMarker(fieldsStart, end, kEndMarker);
    if (entryEnd == nullptr) return reportFormatError();

    EntryFields fields;
    if (scanEntryFields(fieldsStart, static_cast<size_t>(entryEnd - fieldsStart), &fields) != 4) {
      return reportFormatError();
    }
    const uint64_t length = adjustedSize(fields);
    // A full list refuses the image; appendRegion has recorded why.
    if (!appendRegion(fields.offset, roundUpToBlock(length), length)) return 0;
    result = 1;
    entry = findMarker(entryEnd, end, kEntryMarker);
  }
  return result;
}

// Deciphers the whole blocks of the first 192 bytes that the page holds.
size_t decipherTableBlocks(const uint8_t* page, size_t pageLength,
                           uint8_t deciphered[kEncipheredTableLength]) {
  size_t held = pageLength < kEncipheredTableLength ? pageLength : kEncipheredTableLength;
  held -= held % aes::kBlockSize;
  uint8_t key[aes::kKeySize];
  uint8_t iv[aes::kBlockSize];
  imageTableKey(key);
  imageTableIv(iv);
  aes::decryptCbc(key, iv, page, deciphered, held);
  text::fill(key, 0, sizeof(key));
  return held;
}

}  // namespace

int find_respective_image_info(const uint8_t* page, size_t pageLength) {
  const char* plain = reinterpret_cast<const char*>(page);
  const size_t plainLength = text::lengthWithin(plain, pageLength);
  if (text::find(plain, plainLength, kEntryMarker) != nullptr) {
    return readTableEntries(plain, plainLength);
  }

  uint8_t deciphered[kEncipheredTableLength];
  const size_t held = decipherTableBlocks(page, pageLength, deciphered);
  const char* tableText = reinterpret_cast<const char*>(deciphered);
  const size_t textLength = text::lengthWithin(tableText, held);
  if (text::find(tableText, textLength, kEntryMarker) == nullptr) return 0;
  return readTableEntries(tableText, textLength);
}
