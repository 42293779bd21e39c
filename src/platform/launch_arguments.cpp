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
// UTF-8 in a new block; nullptr when there is no memory. *nulInside tells
// whether text follows that NUL.
char* decodeLoadOptions(const void* bytes, size_t size, size_t* length, bool* nulInside) {
  const size_t units = size / 2;
  auto* wide = static_cast<uint16_t*>(platform::allocate((units + 1) * sizeof(uint16_t)));
  if (wide == nullptr) return nullptr;
  const auto* source = static_cast<const uint8_t*>(bytes);
  *nulInside = false;
  size_t end = units;
  for (size_t i = 0; i < units; ++i) {
    wide[i] = static_cast<uint16_t>(source[2 * i] | (source[2 * i + 1] << 8));
    if (wide[i] == 0 && end == units) end = i;
    if (wide[i] != 0 && end < i) *nulInside = true;
  }
  wide[units] = 0;
  const size_t capacity = utf::utf8LengthOfUtf16(wide) + 1;
  auto* utf8 = static_cast<char*>(platform::allocate(capacity));
  if (utf8 != nullptr) *length = utf::utf16ToUtf8(wide, utf8, capacity);
  platform::release(wide);
  return utf8;
}

// UTF-16 as Notepad's "Unicode" saves it: a byte-order mark, or (without
// one) a NUL at every other byte.
bool looksLikeUtf16(const char* line, size_t length) {
  if (length >= 2 && (text::startsWith(line, "\xFF\xFE") || text::startsWith(line, "\xFE\xFF"))) {
    return true;
  }
  if (length < 2) return false;
  bool evenNul = true;
  bool oddNul = true;
  for (size_t i = 0; i < length; ++i) {
    if (line[i] != '\0') (i % 2 == 0 ? evenNul : oddNul) = false;
  }
  return evenNul || oddNul;
}

bool validUtf8(const char* line, size_t length) {
  for (size_t at = 0; at < length;) {
    uint32_t codePoint = 0;
    const size_t taken = utf::decodeUtf8(line + at, length - at, &codePoint);
    if (codePoint == utf::kReplacement && taken == 1) return false;
    at += taken;
  }
  return true;
}

// What is wrong with the bytes of a line of velkoran.args, before it is split.
Refusal fileLineRefusal(const char* line, size_t length) {
  if (looksLikeUtf16(line, length)) return Refusal::kNotText;
  for (size_t i = 0; i < length; ++i) {
    if (line[i] == '\0') return Refusal::kNulCharacter;
  }
  return validUtf8(line, length) ? Refusal::kNone : Refusal::kNotText;
}

// The first line of the arguments file in a new block (BOM dropped);
// nullptr when there is none, it is refused or memory ran out.
char* readArgumentsLine(size_t* length, Source* source, Refusal* refusal) {
  *source = Source::kNone;
  platform::File* file = platform::fileOpen(kArgumentsFileName, "rb");
  if (file == nullptr) return nullptr;
  *source = Source::kArgumentsFile;
  auto* line = static_cast<char*>(platform::allocate(kMaxArgumentsLine + 1));
  size_t held = 0;
  for (int c; line != nullptr && (c = platform::fileGetByte(file)) >= 0;) {
    if (c == '\n' || c == '\r') break;
    if (held == kMaxArgumentsLine) {
      *refusal = Refusal::kTooLong;
      break;
    }
    line[held++] = static_cast<char>(c);
  }
  platform::fileClose(file);
  if (line != nullptr && *refusal == Refusal::kNone) *refusal = fileLineRefusal(line, held);
  if (line == nullptr || *refusal != Refusal::kNone) {
    platform::release(line);
    return nullptr;
  }
  const size_t skip = held >= 3 && text::startsWith(line, "\xEF\xBB\xBF") ? 3 : 0;
  text::copyBytes(line, line + skip, held - skip);
  *length = held - skip;
  return line;
}

// The arguments of one line, without a leading program name.
struct Split {
  char** slots;
  char** first;
  int count;
};

bool splitLine(char* line, size_t length, Split* split, bool* unbalanced) {
  // Every argument takes at least one character and one separator.
  const size_t capacity = length / 2 + 1;
  split->slots = static_cast<char**>(platform::allocate(capacity * sizeof(char*)));
  if (split->slots == nullptr) return false;
  split->count =
      splitInPlace(line, length, split->slots, static_cast<int>(capacity), unbalanced);
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

int splitInPlace(char* text, size_t length, char** argv, int capacity, bool* unbalanced) {
  int count = 0;
  size_t read = 0;
  size_t write = 0;
  bool quoted = false;
  while (read < length) {
    while (read < length && isBlank(text[read])) ++read;
    if (read == length) break;
    char* start = text + write;
    quoted = false;
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
  if (unbalanced != nullptr) *unbalanced = quoted;
  return count < capacity ? count : capacity;
}

bool buildArguments(const char* programName, const void* loadOptions, size_t loadOptionsSize,
                    Arguments* arguments) {
  *arguments = Arguments{0, nullptr, Source::kNone, Refusal::kNone};
  size_t length = 0;
  bool nulInside = false;
  char* line = decodeLoadOptions(loadOptions, loadOptionsSize, &length, &nulInside);
  if (line == nullptr) return false;
  Source source = Source::kLoadOptions;
  Refusal refusal = nulInside ? Refusal::kNulCharacter : Refusal::kNone;
  Split split{};
  bool unbalanced = false;
  bool fine = splitLine(line, length, &split, &unbalanced);
  if (fine && (split.count == 0 || split.first[0][0] != '-')) {
    platform::release(split.slots);
    platform::release(line);
    split = Split{};
    refusal = Refusal::kNone;
    line = readArgumentsLine(&length, &source, &refusal);
    fine = line == nullptr || splitLine(line, length, &split, &unbalanced);
  }
  if (refusal == Refusal::kNone && unbalanced) refusal = Refusal::kUnbalancedQuote;
  // Nothing of a refused line is run: not even a power-off it asks for.
  if (refusal != Refusal::kNone) split.count = 0;
  fine = fine && assemble(programName, split, arguments);
  arguments->source = split.count > 0 || refusal != Refusal::kNone ? source : Source::kNone;
  arguments->refusal = refusal;
  platform::release(split.slots);
  platform::release(line);
  return fine;
}

void printRefusal(const Arguments& arguments) {
  const char* where =
      arguments.source == Source::kLoadOptions ? "THE LOAD OPTIONS" : kArgumentsFileName;
  switch (arguments.refusal) {
    case Refusal::kNone: break;
    case Refusal::kTooLong:
      platform::print("ERROR:THE LINE IN %s IS LONGER THAN %u BYTES, IT IS NOT USED\n\n", where,
                      static_cast<unsigned>(kMaxArgumentsLine));
      break;
    case Refusal::kNotText:
      platform::print("ERROR:%s MUST BE ASCII OR UTF-8 TEXT, IT IS NOT USED\n\n", where);
      break;
    case Refusal::kNulCharacter:
      platform::print("ERROR:THE LINE IN %s HOLDS A NUL CHARACTER, IT IS NOT USED\n\n", where);
      break;
    case Refusal::kUnbalancedQuote:
      platform::print("ERROR:THE LINE IN %s HAS A DOUBLE QUOTE THAT IS NEVER CLOSED, IT IS NOT "
                      "USED\n\n", where);
      break;
  }
}

}  // namespace launch
