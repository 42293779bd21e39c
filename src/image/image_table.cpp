// The image table reader. A page holds its table as plain text, or
// enciphered in its first 192 bytes.
#include "image/image_table.h"

// VELKORAN_PORTABLE_SEARCH selects the plain C++ search (for testing it).
#if defined(__SSE2__) && !defined(VELKORAN_PORTABLE_SEARCH)
#define VELKORAN_SSE2_SEARCH 1
#include <emmintrin.h>
#endif

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

bool markerAt(const uint8_t* bytes, size_t at, size_t limit) {
  if (limit - at < kEntryMarkerLength) return false;
  for (size_t i = 0; i < kEntryMarkerLength; ++i) {
    if (bytes[at + i] != static_cast<uint8_t>(kEntryMarker[i])) return false;
  }
  return true;
}

// Every page goes through the text search, so it looks at 64 bytes at once.
// Returns a bit for each of the 64 bytes at `bytes` that is zero or, while
// no marker has been seen, the marker's first character.
constexpr size_t kStride = 64;

#ifdef VELKORAN_SSE2_SEARCH
uint64_t candidates(const uint8_t* bytes, bool markerSeen) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i markerStart = _mm_set1_epi8(markerSeen ? 0 : kEntryMarker[0]);
  __m128i hits[4];
  __m128i any = zero;
  for (int i = 0; i < 4; ++i) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * i));
    hits[i] = _mm_or_si128(_mm_cmpeq_epi8(block, zero), _mm_cmpeq_epi8(block, markerStart));
    any = _mm_or_si128(any, hits[i]);
  }
  if (_mm_movemask_epi8(any) == 0) return 0;  // the common case: nothing here
  uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hits[i]))) << (16 * i);
  return mask;
}
#else
uint64_t candidates(const uint8_t* bytes, bool markerSeen) {
  uint64_t mask = 0;
  for (size_t i = 0; i < kStride; ++i) {
    if (bytes[i] == 0 || (!markerSeen && bytes[i] == static_cast<uint8_t>(kEntryMarker[0]))) mask |= uint64_t{1} << i;
  }
  return mask;
}
#endif

// The text at the start of `bytes`: up to the first zero byte, at most
// `limit` bytes. Returns its length; *hasMarker tells whether it holds an
// entry marker.
size_t measureText(const uint8_t* bytes, size_t limit, bool* hasMarker) {
  bool seen = false;  // a local: the compiler need not reload it after each byte
  size_t at = 0;
  for (; limit - at >= kStride; at += kStride) {
    for (uint64_t mask = candidates(bytes + at, seen); mask != 0; mask &= mask - 1) {
      const size_t position = at + static_cast<size_t>(__builtin_ctzll(mask));
      if (bytes[position] == 0) {
        *hasMarker = seen;
        return position;
      }
      seen = seen || markerAt(bytes, position, limit);
    }
  }
  for (; at < limit && bytes[at] != 0; ++at) seen = seen || markerAt(bytes, at, limit);
  *hasMarker = seen;
  return at;
}

int reportFormatError() {
  platform::print("find_respective_image_info() : image format err!!\n");
  return 0;
}

// Reads every entry of a table text that is known to hold an entry marker.
// An entry ends at the next entry marker, else at the next end marker; the
// search for a further entry goes on from there, even past an end marker.
int readTableEntries(const char* tableText, size_t length, RegionList* list) {
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
    if (!appendRegion(list, fields.offset, roundUpToBlock(length), length)) return 0;
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

int find_respective_image_info(const uint8_t* page, size_t pageLength, RegionList* list) {
  // A caller may hand over more (a whole image in memory); a table is
  // looked for in its first page only.
  if (pageLength > kPageSize) pageLength = kPageSize;
  bool hasMarker = false;
  const size_t plainLength = measureText(page, pageLength, &hasMarker);
  if (hasMarker) return readTableEntries(reinterpret_cast<const char*>(page), plainLength, list);

  uint8_t deciphered[kEncipheredTableLength];
  const size_t held = decipherTableBlocks(page, pageLength, deciphered);
  const size_t textLength = measureText(deciphered, held, &hasMarker);
  if (!hasMarker) return 0;
  return readTableEntries(reinterpret_cast<const char*>(deciphered), textLength, list);
}
