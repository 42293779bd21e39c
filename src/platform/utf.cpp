#include "platform/utf.h"

namespace utf {
namespace {

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }
bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

size_t utf8Size(uint32_t codePoint) {
  if (codePoint < 0x80) return 1;
  if (codePoint < 0x800) return 2;
  if (codePoint < 0x10000) return 3;
  return 4;
}

size_t encodeUtf8(uint32_t codePoint, char* out) {
  size_t size = utf8Size(codePoint);
  static constexpr uint8_t kLeadMarks[] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
  for (size_t i = size - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (codePoint & 0x3F));
    codePoint >>= 6;
  }
  out[0] = static_cast<char>(kLeadMarks[size] | codePoint);
  return size;
}

// Reads one code point from NUL-terminated UTF-16 text; returns units used.
size_t decodeUtf16(const uint16_t* text, uint32_t* codePoint) {
  uint32_t unit = text[0];
  if (isHighSurrogate(unit) && isLowSurrogate(text[1])) {
    *codePoint = 0x10000 + ((unit - 0xD800) << 10) + (text[1] - 0xDC00u);
    return 2;
  }
  *codePoint = (isHighSurrogate(unit) || isLowSurrogate(unit)) ? kReplacement : unit;
  return 1;
}

size_t utf16Size(uint32_t codePoint) { return codePoint >= 0x10000 ? 2 : 1; }

}  // namespace

size_t decodeUtf8(const char* text, size_t length, uint32_t* codePoint) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  uint8_t lead = bytes[0];
  size_t size;
  uint32_t value;
  uint32_t minimum;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    size = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    size = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    size = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    *codePoint = kReplacement;
    return 1;
  }
  if (size > length) {
    *codePoint = kReplacement;
    return 1;
  }
  for (size_t i = 1; i < size; ++i) {
    if (!isContinuation(bytes[i])) {
      *codePoint = kReplacement;
      return 1;
    }
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  bool valid = value >= minimum && value <= 0x10FFFF && !isHighSurrogate(value) &&
               !isLowSurrogate(value);
  *codePoint = valid ? value : kReplacement;
  return valid ? size : 1;
}

size_t utf8LengthOfUtf16(const uint16_t* text) {
  size_t total = 0;
  while (*text != 0) {
    uint32_t codePoint;
    text += decodeUtf16(text, &codePoint);
    total += utf8Size(codePoint);
  }
  return total;
}

size_t utf16ToUtf8(const uint16_t* text, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  size_t written = 0;
  while (*text != 0) {
    uint32_t codePoint;
    size_t units = decodeUtf16(text, &codePoint);
    if (written + utf8Size(codePoint) >= capacity) break;
    written += encodeUtf8(codePoint, out + written);
    text += units;
  }
  out[written] = '\0';
  return written;
}

size_t utf16LengthOfUtf8(const char* text, size_t length) {
  size_t total = 0;
  for (size_t offset = 0; offset < length;) {
    uint32_t codePoint;
    offset += decodeUtf8(text + offset, length - offset, &codePoint);
    total += utf16Size(codePoint);
  }
  return total;
}

size_t utf8ToUtf16(const char* text, size_t length, uint16_t* out, size_t capacity) {
  if (capacity == 0) return 0;
  size_t written = 0;
  for (size_t offset = 0; offset < length;) {
    uint32_t codePoint;
    size_t used = decodeUtf8(text + offset, length - offset, &codePoint);
    if (written + utf16Size(codePoint) >= capacity) break;
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      out[written++] = static_cast<uint16_t>(0xD800 + (codePoint >> 10));
      out[written++] = static_cast<uint16_t>(0xDC00 + (codePoint & 0x3FF));
    } else {
      out[written++] = static_cast<uint16_t>(codePoint);
    }
    offset += used;
  }
  out[written] = 0;
  return written;
}

size_t toConsoleUnits(const char* text, size_t length, uint16_t* out, size_t capacity,
                      size_t* consumed) {
  size_t written = 0;
  size_t offset = 0;
  while (offset < length && capacity > 0) {
    uint32_t codePoint;
    size_t used = decodeUtf8(text + offset, length - offset, &codePoint);
    size_t units = codePoint == '\n' ? 2 : 1;
    if (written + units >= capacity) break;
    if (codePoint == '\n') out[written++] = '\r';
    out[written++] = static_cast<uint16_t>(codePoint >= 0x10000 ? kReplacement : codePoint);
    offset += used;
  }
  if (capacity > 0) out[written] = 0;
  *consumed = offset;
  return written;
}

}  // namespace utf
