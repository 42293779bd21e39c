// Reading the fields of one image table entry, "%lx %lx %lx %s" as the
// C library's scanf reads them, within a bounded text.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kEntryNameCapacity = 128;  // longer names are cut to 127

struct EntryFields {
  uint64_t offset;
  uint64_t size;
  uint64_t unused;
  char name[kEntryNameCapacity];
};

// A cursor over text[0, length): the text need not be terminated.
struct TextCursor {
  const char* at;
  const char* end;
};

// Reads a hexadecimal number like "%lx": leading white space, an optional
// sign, an optional 0x or 0X, the digits; saturates at the largest value.
bool scanHexNumber(TextCursor* cursor, uint64_t* value);
// Reads a word like "%s", keeping at most capacity - 1 characters.
bool scanWord(TextCursor* cursor, char* word, size_t capacity);
// Reads the four fields; returns how many were converted (0 to 4). The
// name is empty unless the fourth was converted.
int scanEntryFields(const char* text, size_t length, EntryFields* fields);
