// kcs.cfg: the optional file that moves the KCS interface off its standard
// ports. It holds keys followed by four-digit hexadecimal values, e.g.
//   CMD CA3
//   DATA CA2
#include "state/tool_context.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/kcs.h"

namespace {

constexpr uint16_t kDefaultCommandPort = 0xCA3;
constexpr uint16_t kDefaultDataPort = 0xCA2;
constexpr int kTokenBufferSize = 20;
constexpr int kPortValueDigits = 4;

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void setCommandPort(uint16_t port) {
  toolContext.commandPort = port;
  toolContext.statusPort = port;
}

}  // namespace

uint16_t kcsParsePortValue(const char* token) {
  uint16_t value = 0;
  for (int i = 0; i < kPortValueDigits; ++i) {
    const int digit = hexDigitValue(token[i]);
    if (digit < 0) break;
    value = static_cast<uint16_t>(value << 4 | digit);
  }
  return value;
}

int kcsOpen() {
  platform::File* file = platform::fileOpen("kcs.cfg", "r");
  if (file == nullptr) {
    setCommandPort(kDefaultCommandPort);
    toolContext.dataPort = kDefaultDataPort;
    return 0;
  }
  // One buffer for the whole file: a read that finds no token leaves the
  // previous one in place, and the key tests below then see that one again.
  char token[kTokenBufferSize] = {};
  bool readOne = false;
  do {
    readOne = platform::fileReadToken(file, token, sizeof token);
    if (text::equal(token, "CMD")) {
      platform::fileReadToken(file, token, sizeof token);
      setCommandPort(kcsParsePortValue(token));
    }
    // Deliberately the token now in the buffer: after CMD that is its value.
    if (text::equal(token, "DATA")) {
      platform::fileReadToken(file, token, sizeof token);
      toolContext.dataPort = kcsParsePortValue(token);
    }
    // A read that finds nothing without reaching the end (a read error)
    // would otherwise repeat for ever.
  } while (readOne && !platform::fileAtEnd(file));
  platform::fileClose(file);
  return 0;
}
