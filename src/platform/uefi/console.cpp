// Console output through ConOut and one-key input through ConIn. Text is
// formatted as UTF-8 by the shared formatter, then converted for the console.
#include <cstdarg>

#include "platform/format.h"
#include "platform/platform.h"
#include "platform/uefi/uefi.h"
#include "platform/utf.h"

namespace platform {
namespace {

constexpr size_t kLineCapacity = 512;
constexpr size_t kUnitsCapacity = 256;

void writeText(const char* text, size_t length) {
  tapConsole(text, length);
  SIMPLE_TEXT_OUTPUT_INTERFACE* out = uefi::systemTable()->ConOut;
  uint16_t units[kUnitsCapacity];
  while (length > 0) {
    size_t consumed = 0;
    utf::toConsoleUnits(text, length, units, kUnitsCapacity, &consumed);
    out->OutputString(out, reinterpret_cast<CHAR16*>(units));
    text += consumed;
    length -= consumed;
  }
}

}  // namespace

void print(const char* format, ...) {
  va_list args;
  va_list retry;
  va_start(args, format);
  va_copy(retry, args);
  char line[kLineCapacity];
  size_t length = formatTextV(line, sizeof line, format, args);
  if (length < sizeof line) {
    writeText(line, length);
  } else {
    // Only a very long argument gets here (the echo of the command line).
    auto* whole = static_cast<char*>(allocate(length + 1));
    if (whole != nullptr) {
      formatTextV(whole, length + 1, format, retry);
      writeText(whole, length);
      release(whole);
    } else {
      writeText(line, sizeof line - 1);
    }
  }
  va_end(retry);
  va_end(args);
}

// ConOut writes through at once; nothing is held back.
void flush() {}

int readKey() {
  SIMPLE_INPUT_INTERFACE* in = uefi::systemTable()->ConIn;
  for (;;) {
    UINTN index = 0;
    uefi::bootServices()->WaitForEvent(1, &in->WaitForKey, &index);
    EFI_INPUT_KEY key;
    if (!EFI_ERROR(in->ReadKeyStroke(in, &key)) && key.UnicodeChar != 0) {
      return key.UnicodeChar;
    }
  }
}

}  // namespace platform
