// JSON text written piece by piece through a small fixed buffer, for the run
// report. Strings take any bytes: what is not valid UTF-8 becomes U+FFFD, so
// the document is always valid JSON in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

namespace json {

struct Writer {
  // Takes the next bytes of the document; false when they could not be kept.
  bool (*sink)(void* context, const char* bytes, size_t length);
  void* context;
  char buffer[256];
  size_t used;
  bool failed;
};

Writer makeWriter(bool (*sink)(void*, const char*, size_t), void* context);
// Text as it stands (punctuation, names known to need no escaping).
void raw(Writer& writer, const char* text);
// A quoted string of `length` bytes.
void string(Writer& writer, const char* text, size_t length);
// A quoted NUL-terminated string, or null for nullptr.
void stringOrNull(Writer& writer, const char* text);
void number(Writer& writer, uint64_t value);
// Hands over what is buffered; false when any byte was not kept.
bool finish(Writer& writer);

}  // namespace json
