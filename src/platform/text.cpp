#include "platform/text.h"

namespace text {

size_t length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

size_t lengthWithin(const char* s, size_t limit) {
  size_t n = 0;
  while (n < limit && s[n] != '\0') ++n;
  return n;
}

bool equal(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

bool startsWith(const char* s, const char* prefix) {
  while (*prefix != '\0') {
    if (*s++ != *prefix++) return false;
  }
  return true;
}

void copy(char* destination, size_t capacity, const char* source) {
  if (capacity == 0) return;
  size_t n = 0;
  while (n + 1 < capacity && source[n] != '\0') {
    destination[n] = source[n];
    ++n;
  }
  destination[n] = '\0';
}

const char* find(const char* haystack, size_t haystackLength, const char* needle) {
  size_t needleLength = length(needle);
  if (needleLength > haystackLength) return nullptr;
  for (size_t i = 0; i + needleLength <= haystackLength; ++i) {
    size_t k = 0;
    while (k < needleLength && haystack[i + k] == needle[k]) ++k;
    if (k == needleLength) return haystack + i;
  }
  return nullptr;
}

void fill(void* destination, uint8_t value, size_t count) {
  auto* d = static_cast<uint8_t*>(destination);
  for (size_t i = 0; i < count; ++i) d[i] = value;
}

void copyBytes(void* destination, const void* source, size_t count) {
  auto* d = static_cast<uint8_t*>(destination);
  const auto* s = static_cast<const uint8_t*>(source);
  for (size_t i = 0; i < count; ++i) d[i] = s[i];
}

}  // namespace text
