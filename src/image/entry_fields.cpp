#include "image/entry_fields.h"

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void skipSpace(TextCursor* cursor) {
  while (cursor->at < cursor->end && isSpace(*cursor->at)) ++cursor->at;
}

bool atChar(const TextCursor& cursor, size_t ahead, char c) {
  return cursor.end - cursor.at > static_cast<ptrdiff_t>(ahead) && cursor.at[ahead] == c;
}

}  // namespace

bool scanHexNumber(TextCursor* cursor, uint64_t* value) {
  skipSpace(cursor);
  bool negative = false;
  if (atChar(*cursor, 0, '-') || atChar(*cursor, 0, '+')) {
    negative = *cursor->at == '-';
    ++cursor->at;
  }
  // "0x" is the prefix only when a digit follows; otherwise the 0 is the
  // number (scanf then has consumed the x as well).
  bool digitsSeen = false;
  if (atChar(*cursor, 0, '0') && (atChar(*cursor, 1, 'x') || atChar(*cursor, 1, 'X'))) {
    cursor->at += 2;
    digitsSeen = true;
  }
  uint64_t number = 0;
  bool overflow = false;
  for (; cursor->at < cursor->end && hexDigitValue(*cursor->at) >= 0; ++cursor->at) {
    overflow = overflow || (number >> 60) != 0;
    number = (number << 4) | static_cast<uint64_t>(hexDigitValue(*cursor->at));
    digitsSeen = true;
  }
  if (!digitsSeen) return false;
  if (overflow) {
    *value = UINT64_MAX;
  } else {
    *value = negative ? 0 - number : number;
  }
  return true;
}

bool scanWord(TextCursor* cursor, char* word, size_t capacity) {
  skipSpace(cursor);
  if (cursor->at == cursor->end) return false;
  size_t kept = 0;
  for (; cursor->at < cursor->end && !isSpace(*cursor->at); ++cursor->at) {
    if (kept + 1 < capacity) word[kept++] = *cursor->at;
  }
  if (capacity > 0) word[kept] = '\0';
  return true;
}

int scanEntryFields(const char* text, size_t length, EntryFields* fields) {
  TextCursor cursor{text, text + length};
  fields->name[0] = '\0';
  if (!scanHexNumber(&cursor, &fields->offset)) return 0;
  if (!scanHexNumber(&cursor, &fields->size)) return 1;
  if (!scanHexNumber(&cursor, &fields->unused)) return 2;
  if (!scanWord(&cursor, fields->name, sizeof(fields->name))) return 3;
  return 4;
}
