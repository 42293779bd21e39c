#include "platform/launch_arguments.h"

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace launch {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// "Velkoran.efi", "\EFI\BOOT\BOOTX64.EFI", "FS0:\Velkoran.efi": the name the
// entry's author put before the arguments.
bool isProgramName(const char* argument) {
  const size_t length = text::length(argument);
  if (argument[0] == '-' || length < 4) return false;
  const char* suffix = argument + length - 4;
  return suffix[0] == '.' && lowerAscii(suffix[1]) == 'e' && lowerAscii(suffix[2]) == 'f' &&
         lowerAscii(suffix[3]) == 'i';
}

// UCS-2 little-endian bytes up to the first NUL (or the last whole unit) as
// UTF-8 in a new block; nullptr when there is no memory.
char* decodeLoadOptions(const void* bytes, size_t size, size_t* length) {
  const size_t units = size / 2;
  auto* wide = static_cast<uint16_t*>(platform::allocate((units + 1) * sizeof(uint16_t)));
  if (wide == nullptr) return nullptr;
  const auto* source = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < units; ++i) {
    wide[i] = static_cast<uint16_t>(source[2 * i] | (source[2 * i + 1] << 8));
  }
  wide[units] = 0;
  const size_t capacity = utf::utf8LengthOfUtf16(wide) + 1;
  auto* utf8 = static_cast<char*>(platform::allocate(capacity));
  if (utf8 != nullptr) *length = utf::utf16ToUtf8(wide, utf8, capacity);
  platform::release(wide);
  return utf8;
}

// The first line of the arguments file in a new block (BOM dropped);
// nullptr when there is none, it is too long or memory ran out.
char* readArgumentsLine(size_t* length, Source* source) {
  *source = Source::kNone;
  platform::File* file = platform::fileOpen(kArgumentsFileName, "rb");
  if (file == nullptr) return nullptr;
  auto* line = static_cast<char*>(platform::allocate(kMaxArgumentsLine + 1));
  size_t held = 0;
  for (int c; line != nullptr && (c = platform::fileGetByte(file)) >= 0;) {
    if (c == '\n' || c == '\r') break;
    if (held == kMaxArgumentsLine) {
      *source = Source::kArgumentsFileTooLong;
      break;
    }
    line[held++] = static_cast<char>(c);
  }
  platform::fileClose(file);
  if (line == nullptr || *source == Source::kArgumentsFileTooLong) {
    platform::release(line);
    return nullptr;
  }
  const size_t skip = held >= 3 && text::startsWith(line, "\xEF\xBB\xBF") ? 3 : 0;
  text::copyBytes(line, line + skip, held - skip);
  *length = held - skip;
  *source = Source::kArgumentsFile;
  return line;
}

// The arguments of one line, without a leading program name.
struct Split {
  char** slots;
  char** first;
  int count;
};

bool splitLine(char* line, size_t length, Split* split) {
  // Every argument takes at least one character and one separator.
  const size_t capacity = length / 2 + 1;
  split->slots = static_cast<char**>(platform::allocate(capacity * sizeof(char*)));
  if (split->slots == nullptr) return false;
  split->count = splitInPlace(line, length, split->slots, static_cast<int>(capacity));
  split->first = split->slots;
  if (split->count > 0 && isProgramName(split->slots[0])) {
    ++split->first;
    --split->count;
  }
  return true;
}

bool assemble(const char* programName, const Split& split, Arguments* arguments) {
  const int count = split.count;
  size_t total = (static_cast<size_t>(count) + 2) * sizeof(char*) + text::length(programName) + 1;
  for (int i = 0; i < count; ++i) total += text::length(split.first[i]) + 1;
  auto** argv = static_cast<char**>(platform::allocate(total));
  if (argv == nullptr) return false;
  char* strings = reinterpret_cast<char*>(argv + count + 2);
  for (int i = 0; i <= count; ++i) {
    const char* source = i == 0 ? programName : split.first[i - 1];
    const size_t size = text::length(source) + 1;
    text::copyBytes(strings, source, size);
    argv[i] = strings;
    strings += size;
  }
  argv[count + 1] = nullptr;
  arguments->argc = count + 1;
  arguments->argv = argv;
  return true;
}

}  // namespace

int splitInPlace(char* text, size_t length, char** argv, int capacity) {
  int count = 0;
  size_t read = 0;
  size_t write = 0;
  while (read < length) {
    while (read < length && isBlank(text[read])) ++read;
    if (read == length) break;
    char* start = text + write;
    bool quoted = false;
    for (; read < length && (quoted || !isBlank(text[read])); ++read) {
      if (text[read] == '"') {
        quoted = !quoted;
      } else if (text[read] == '^' && read + 1 < length) {
        text[write++] = text[++read];
      } else {
        text[write++] = text[read];
      }
    }
    // The NUL takes the separator's place (or text[length]); write <= read.
    if (read < length) ++read;
    text[write++] = '\0';
    if (count < capacity) argv[count] = start;
    ++count;
  }
  return count < capacity ? count : capacity;
}

bool buildArguments(const char* programName, const void* loadOptions, size_t loadOptionsSize,
                    Arguments* arguments) {
  *arguments = Arguments{0, nullptr, Source::kNone};
  size_t length = 0;
  char* line = decodeLoadOptions(loadOptions, loadOptionsSize, &length);
  if (line == nullptr) return false;
  Source source = Source::kLoadOptions;
  Split split{};
  bool fine = splitLine(line, length, &split);
  if (fine && (split.count == 0 || split.first[0][0] != '-')) {
    platform::release(split.slots);
    platform::release(line);
    split = Split{};
    line = readArgumentsLine(&length, &source);
    fine = line == nullptr || splitLine(line, length, &split);
  }
  fine = fine && assemble(programName, split, arguments);
  arguments->source = split.count > 0 || source == Source::kArgumentsFileTooLong ? source
                                                                                 : Source::kNone;
  platform::release(split.slots);
  platform::release(line);
  return fine;
}

}  // namespace launch
