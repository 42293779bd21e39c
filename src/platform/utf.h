// UTF-8 <-> UTF-16 conversions between the program's text (UTF-8) and the
// firmware's (UTF-16): arguments, file names and console output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace utf {

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes the sequence at the start of text (length > 0 bytes available).
// Malformed, overlong, surrogate or truncated sequences give kReplacement and
// consume one byte, so decoding always moves on. Returns the bytes consumed.
size_t decodeUtf8(const char* text, size_t length, uint32_t* codePoint);

// Size in bytes of the UTF-8 form of NUL-terminated UTF-16 text, without the
// terminator. Unpaired surrogates count as kReplacement.
size_t utf8LengthOfUtf16(const uint16_t* text);
// Converts NUL-terminated UTF-16 text into NUL-terminated UTF-8. Stops before
// a character that would not fit (capacity includes the terminator).
// Returns the bytes written, without the terminator.
size_t utf16ToUtf8(const uint16_t* text, char* out, size_t capacity);

// Size in UTF-16 units of the first length bytes of UTF-8 text.
size_t utf16LengthOfUtf8(const char* text, size_t length);
// Converts length bytes of UTF-8 into NUL-terminated UTF-16 (surrogate pairs
// above U+FFFF). Returns the units written, without the terminator.
size_t utf8ToUtf16(const char* text, size_t length, uint16_t* out, size_t capacity);

// Console form: "\n" becomes "\r\n", "\r" stays as it is, and characters
// above U+FFFF (which a UCS-2 console cannot show) become kReplacement.
// Converts as much of text as fits in capacity - 1 units without splitting a
// character or a line end, NUL-terminates, sets *consumed to the bytes taken
// and returns the units written.
size_t toConsoleUnits(const char* text, size_t length, uint16_t* out, size_t capacity,
                      size_t* consumed);

}  // namespace utf
