// The program's own printf subset, shared by both platforms so that the
// console text is the same everywhere.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace platform {

// Formats into out (always NUL-terminated when capacity > 0) and returns the
// length the full text would have, like vsnprintf.
size_t formatTextV(char* out, size_t capacity, const char* format, va_list args);
size_t formatText(char* out, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace platform
