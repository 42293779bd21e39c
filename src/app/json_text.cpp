#include "app/json_text.h"

#include "platform/format.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace json {
namespace {

void flushBuffer(Writer& writer) {
  if (writer.used > 0 && !writer.failed &&
      !writer.sink(writer.context, writer.buffer, writer.used)) {
    writer.failed = true;
  }
  writer.used = 0;
}

void put(Writer& writer, const char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (writer.used == sizeof writer.buffer) flushBuffer(writer);
    writer.buffer[writer.used++] = bytes[i];
  }
}

void putEscaped(Writer& writer, uint32_t codePoint) {
  char escape[8];
  switch (codePoint) {
    case '"': put(writer, "\\\"", 2); return;
    case '\\': put(writer, "\\\\", 2); return;
    case '\n': put(writer, "\\n", 2); return;
    case '\r': put(writer, "\\r", 2); return;
    case '\t': put(writer, "\\t", 2); return;
    default: break;
  }
  const size_t length =
      platform::formatText(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(codePoint));
  put(writer, escape, length);
}

}  // namespace

Writer makeWriter(bool (*sink)(void*, const char*, size_t), void* context) {
  Writer writer{};
  writer.sink = sink;
  writer.context = context;
  return writer;
}

void raw(Writer& writer, const char* text) { put(writer, text, text::length(text)); }

void string(Writer& writer, const char* text, size_t length) {
  put(writer, "\"", 1);
  size_t at = 0;
  while (at < length) {
    uint32_t codePoint = 0;
    const size_t taken = utf::decodeUtf8(text + at, length - at, &codePoint);
    if (codePoint < 0x20 || codePoint == '"' || codePoint == '\\' ||
        codePoint == utf::kReplacement) {
      // A replacement also stands for a malformed byte: written as an escape,
      // it never copies that byte.
      putEscaped(writer, codePoint);
    } else {
      put(writer, text + at, taken);
    }
    at += taken;
  }
  put(writer, "\"", 1);
}

void stringOrNull(Writer& writer, const char* text) {
  if (text == nullptr) {
    raw(writer, "null");
  } else {
    string(writer, text, text::length(text));
  }
}

void number(Writer& writer, uint64_t value) {
  char digits[24];
  const size_t length = platform::formatText(digits, sizeof digits, "%lu",
                                             static_cast<unsigned long>(value));
  put(writer, digits, length);
}

bool finish(Writer& writer) {
  flushBuffer(writer);
  return !writer.failed;
}

}  // namespace json
