// The console tap: lets run control keep a record of the console text
// without every print site knowing about it.
#include "platform/platform.h"

namespace platform {
namespace {
constinit ConsoleTap gTap = nullptr;
constinit ConsoleTap gDiagnosticTap = nullptr;
}  // namespace

void setConsoleTap(ConsoleTap tap) { gTap = tap; }

void tapConsole(const char* text, size_t length) {
  if (gTap != nullptr) gTap(text, length);
}

void setDiagnosticTap(ConsoleTap tap) { gDiagnosticTap = tap; }

void tapDiagnostic(const char* text, size_t length) {
  if (gDiagnosticTap != nullptr) gDiagnosticTap(text, length);
}

}  // namespace platform
