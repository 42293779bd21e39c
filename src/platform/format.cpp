#include "platform/format.h"

#include <cstdint>

namespace platform {
namespace {

// Appends to a bounded buffer while counting the full length.
struct Sink {
  char* out;
  size_t capacity;
  size_t length = 0;

  void put(char c) {
    if (length + 1 < capacity) out[length] = c;
    ++length;
  }
  void padding(char c, size_t count) {
    for (size_t i = 0; i < count; ++i) put(c);
  }
};

struct Conversion {
  bool leftAlign = false;
  bool zeroPad = false;
  size_t width = 0;
  bool isLong = false;
};

void putField(Sink& sink, const Conversion& conversion, const char* text, size_t length) {
  size_t pad = conversion.width > length ? conversion.width - length : 0;
  if (!conversion.leftAlign) sink.padding(conversion.zeroPad ? '0' : ' ', pad);
  for (size_t i = 0; i < length; ++i) sink.put(text[i]);
  if (conversion.leftAlign) sink.padding(' ', pad);
}

void putNumber(Sink& sink, const Conversion& conversion, uint64_t magnitude, bool negative,
               unsigned base) {
  char digits[24];
  size_t count = 0;
  do {
    unsigned digit = static_cast<unsigned>(magnitude % base);
    digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    magnitude /= base;
  } while (magnitude != 0);
  if (negative) digits[count++] = '-';
  char text[24];
  for (size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  if (negative && conversion.zeroPad && !conversion.leftAlign && conversion.width > count) {
    // The sign goes before the zeros, as printf does.
    sink.put('-');
    Conversion rest = conversion;
    rest.width = conversion.width - 1;
    putField(sink, rest, text + 1, count - 1);
    return;
  }
  putField(sink, conversion, text, count);
}

const char* parseConversion(const char* p, Conversion& conversion) {
  for (;; ++p) {
    if (*p == '-') conversion.leftAlign = true;
    else if (*p == '0') conversion.zeroPad = true;
    else break;
  }
  while (*p >= '0' && *p <= '9') conversion.width = conversion.width * 10 + static_cast<size_t>(*p++ - '0');
  if (*p == 'l') {
    conversion.isLong = true;
    ++p;
  }
  return p;
}

void putSigned(Sink& sink, const Conversion& conversion, int64_t value) {
  bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  putNumber(sink, conversion, magnitude, negative, 10);
}

}  // namespace

size_t formatTextV(char* out, size_t capacity, const char* format, va_list args) {
  Sink sink{out, capacity};
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      sink.put(*p);
      continue;
    }
    Conversion conversion;
    p = parseConversion(p + 1, conversion);
    switch (*p) {
      case '%':
        sink.put('%');
        break;
      case 'c': {
        char c = static_cast<char>(va_arg(args, int));
        putField(sink, conversion, &c, 1);
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        size_t length = 0;
        while (s[length] != '\0') ++length;
        Conversion plain = conversion;
        plain.zeroPad = false;
        putField(sink, plain, s, length);
        break;
      }
      case 'd':
        putSigned(sink, conversion, conversion.isLong ? va_arg(args, long) : va_arg(args, int));
        break;
      case 'u':
      case 'x': {
        uint64_t value = conversion.isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned);
        putNumber(sink, conversion, value, false, *p == 'x' ? 16 : 10);
        break;
      }
      case '\0':
        --p;  // a lone '%' at the end prints nothing
        break;
      default:
        sink.put('%');
        sink.put(*p);
        break;
    }
  }
  if (capacity > 0) out[sink.length < capacity ? sink.length : capacity - 1] = '\0';
  return sink.length;
}

size_t formatText(char* out, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t length = formatTextV(out, capacity, format, args);
  va_end(args);
  return length;
}

}  // namespace platform
