#include "platform/linux/complain.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace linuxplatform {

void complain(const char* format, ...) {
  char line[512];
  const int prefix = std::snprintf(line, sizeof line, "velkoran: ");
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
  va_end(args);
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", line);
  platform::tapDiagnostic(line, std::strlen(line));
}

}  // namespace linuxplatform
