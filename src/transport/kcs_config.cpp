// kcs.cfg: the optional file that moves the KCS interface off its standard
// ports. Words separated by blanks, "#" starts a comment to the end of the
// line; CMD and DATA are each followed by a hexadecimal port, e.g.
//   CMD CA3
//   DATA 0xCA2
// A file that is there but does not name both ports is refused: guessing
// ports means writing to whatever device sits at them.
#include "state/tool_context.h"
#include "platform/platform.h"
#include "transport/kcs.h"

namespace {

constexpr uint16_t kDefaultCommandPort = 0xCA3;
constexpr uint16_t kDefaultDataPort = 0xCA2;
// Beyond the 16-bit I/O space: what a refused file leaves, so that a caller
// that went on regardless would find no port it could be granted.
constexpr uint64_t kNoPort = 0x10000;
// Two lines need a few bytes; this leaves room for any sensible comment.
constexpr size_t kMaxConfigBytes = 4096;

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

struct Word {
  const char* start;
  size_t length;
  bool is(const char* key) const {
    size_t i = 0;
    // A NUL in the file's word must not carry the comparison past the key.
    for (; i < length; ++i) {
      if (key[i] == '\0' || key[i] != start[i]) return false;
    }
    return key[i] == '\0';
  }
};

struct Cursor {
  const char* at;
  const char* end;

  // The next word, past blanks and comments; false at the end of the text.
  bool next(Word* word) {
    for (;;) {
      while (at < end && isBlank(*at)) ++at;
      if (at == end) return false;
      if (*at != '#') break;
      while (at < end && *at != '\n') ++at;
    }
    word->start = at;
    while (at < end && !isBlank(*at) && *at != '#') ++at;
    word->length = static_cast<size_t>(at - word->start);
    return true;
  }
};

struct Key {
  const char* name;
  const char* noValue;
  const char* badValue;
  const char* missing;
};

constexpr Key kCommandKey = {"CMD", "CMD has no value",
                             "the CMD value is not a hexadecimal port from 1 to FFFF",
                             "CMD is missing"};
constexpr Key kDataKey = {"DATA", "DATA has no value",
                          "the DATA value is not a hexadecimal port from 1 to FFFF",
                          "DATA is missing"};

// The value after a key into *port; the problem's text, or nullptr.
const char* readKeyValue(Cursor& cursor, const Key& key, uint16_t* port) {
  Word value{};
  if (!cursor.next(&value)) return key.noValue;
  if (!kcsParsePortValue(value.start, value.length, port)) return key.badValue;
  return nullptr;
}

void usePorts(uint64_t command, uint64_t data) {
  toolContext.commandPort = command;
  toolContext.statusPort = command;
  toolContext.dataPort = data;
}

}  // namespace

bool kcsParsePortValue(const char* token, size_t length, uint16_t* port) {
  if (length > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    token += 2;
    length -= 2;
  }
  if (length == 0) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    const int digit = hexDigitValue(token[i]);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
    if (value > 0xFFFF) return false;
  }
  if (value == 0) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool kcsParseConfig(const char* text, size_t length, KcsPorts* ports, const char** problem) {
  Cursor cursor{text, text + length};
  bool haveCommand = false;
  bool haveData = false;
  const char* found = nullptr;
  Word word{};
  // Other words are passed over, as they always were; a repeated key's last
  // value counts.
  while (found == nullptr && cursor.next(&word)) {
    if (word.is(kCommandKey.name)) {
      found = readKeyValue(cursor, kCommandKey, &ports->command);
      haveCommand = true;
    } else if (word.is(kDataKey.name)) {
      found = readKeyValue(cursor, kDataKey, &ports->data);
      haveData = true;
    }
  }
  if (found == nullptr && !haveCommand && !haveData) found = "CMD and DATA are missing";
  if (found == nullptr && !haveCommand) found = kCommandKey.missing;
  if (found == nullptr && !haveData) found = kDataKey.missing;
  *problem = found;
  return found == nullptr;
}

int kcsOpen() {
  platform::File* file = platform::fileOpen("kcs.cfg", "r");
  if (file == nullptr) {
    usePorts(kDefaultCommandPort, kDefaultDataPort);
    return 0;
  }
  // One byte more than allowed tells a file that is too long.
  char text[kMaxConfigBytes + 1];
  const size_t length = platform::fileReadFully(file, text, sizeof text);
  platform::fileClose(file);
  KcsPorts ports{};
  const char* problem = "it is longer than 4096 bytes";
  if (length <= kMaxConfigBytes && kcsParseConfig(text, length, &ports, &problem)) {
    usePorts(ports.command, ports.data);
    return 0;
  }
  usePorts(kNoPort, kNoPort);
  noteOutcome(RunOutcome::kFileProblem);
  platform::print("ERROR:kcs.cfg NAMES NO VALID PORTS: %s\n", problem);
  return -1;
}
