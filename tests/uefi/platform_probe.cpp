// A UEFI test application that exercises the UEFI platform layer in real
// firmware: buffered shell files, timers, stall, key input and the console's
// text conversion. It prints one "PASS <check>" or "FAIL <check>" line per
// check; tests/e2e/test_platform.py boots it and reads the lines.
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"

namespace {

using platform::File;

constexpr size_t kPatternSize = 20000;  // more than two stream buffers

uint8_t patternByte(size_t index) { return static_cast<uint8_t>((index * 7 + index / 251) & 0xFF); }

void report(const char* check, bool passed) {
  platform::print("%s %s\n", passed ? "PASS" : "FAIL", check);
}

// Writes the pattern one byte at a time and in one block, as the dump does.
bool writePattern(const char* name, bool bytewise) {
  File* file = platform::fileOpen(name, "wb");
  if (file == nullptr) return false;
  bool written = true;
  if (bytewise) {
    for (size_t i = 0; i < kPatternSize && written; ++i) {
      written = platform::filePutByte(file, patternByte(i)) == 0;
    }
  } else {
    static uint8_t block[kPatternSize];
    for (size_t i = 0; i < kPatternSize; ++i) block[i] = patternByte(i);
    written = platform::fileWrite(file, block, kPatternSize) == kPatternSize;
  }
  return platform::fileClose(file) == 0 && written;
}

bool readPatternBytewise(const char* name) {
  File* file = platform::fileOpen(name, "rb");
  if (file == nullptr) return false;
  bool same = true;
  for (size_t i = 0; i < kPatternSize && same; ++i) {
    same = platform::fileGetByte(file) == patternByte(i);
  }
  same = same && !platform::fileAtEnd(file) && platform::fileGetByte(file) == -1 &&
         platform::fileAtEnd(file);
  platform::fileClose(file);
  return same;
}

bool seekTellAndBlockRead(const char* name) {
  File* file = platform::fileOpen(name, "rb");
  if (file == nullptr) return false;
  bool ok = platform::fileSeekEnd(file) == 0 &&
            platform::fileTell(file) == static_cast<int64_t>(kPatternSize);
  static uint8_t block[kPatternSize];
  ok = ok && platform::fileSeek(file, 9000) == 0 && platform::fileTell(file) == 9000 &&
       platform::fileRead(file, block, kPatternSize) == kPatternSize - 9000 &&
       platform::fileAtEnd(file);
  for (size_t i = 0; ok && i < kPatternSize - 9000; ++i) ok = block[i] == patternByte(9000 + i);
  ok = ok && platform::fileSeek(file, 3) == 0 && !platform::fileAtEnd(file) &&
       platform::fileGetByte(file) == patternByte(3) && platform::fileTell(file) == 4;
  platform::fileClose(file);
  return ok;
}

bool rewriteEmptiesTheFile(const char* name) {
  File* file = platform::fileOpen(name, "wb");
  if (file == nullptr) return false;
  bool ok = platform::fileWrite(file, "new", 3) == 3 && platform::fileClose(file) == 0;
  file = platform::fileOpen(name, "rb");
  if (file == nullptr) return false;
  char text[8] = {};
  ok = ok && platform::fileRead(file, text, sizeof text) == 3 && text::equal(text, "new");
  platform::fileClose(file);
  return ok;
}

bool readWriteStream(const char* name) {
  File* file = platform::fileOpen(name, "wb+");
  if (file == nullptr) return false;
  bool ok = platform::fileWrite(file, "abcdef", 6) == 6 && platform::fileSeek(file, 2) == 0 &&
            platform::fileGetByte(file) == 'c' && platform::fileSeek(file, 1) == 0 &&
            platform::filePutByte(file, 'X') == 0 && platform::fileSeek(file, 0) == 0;
  char text[8] = {};
  ok = ok && platform::fileRead(file, text, sizeof text) == 6 && text::equal(text, "aXcdef");
  return platform::fileClose(file) == 0 && ok;
}

bool tokens(const char* name) {
  File* file = platform::fileOpen(name, "r");
  if (file == nullptr) return false;
  char token[6] = {};
  bool ok = platform::fileReadToken(file, token, sizeof token) && text::equal(token, "0xca2") &&
            platform::fileReadToken(file, token, sizeof token) && text::equal(token, "abcde") &&
            platform::fileReadToken(file, token, sizeof token) && text::equal(token, "last") &&
            !platform::fileReadToken(file, token, sizeof token) && platform::fileAtEnd(file);
  platform::fileClose(file);
  return ok;
}

// A folder is never a file stream, in any mode, and stays; a file takes the
// place of another; a stream opened for reading closes cleanly.
bool foldersAndReplace(const char* folder) {
  bool ok = platform::fileIsFolder(folder) && !platform::fileIsFolder("tokens.txt");
  const char* const modes[] = {"rb", "wb", "wb+"};
  for (const char* mode : modes) ok = ok && platform::fileOpen(folder, mode) == nullptr;
  ok = ok && platform::fileIsFolder(folder) && platform::fileReplace("bytes.bin", folder) != 0;
  File* file = platform::fileOpen("new.bin", "wb");
  ok = ok && file != nullptr && platform::fileWrite(file, "replaced", 8) == 8 &&
       platform::fileClose(file) == 0 && platform::fileReplace("new.bin", "tokens2.txt") == 0;
  file = platform::fileOpen("tokens2.txt", "rb");
  char text[16] = {};
  ok = ok && file != nullptr && platform::fileRead(file, text, sizeof text) == 8 &&
       text::equal(text, "replaced") && platform::fileClose(file) == 0;
  return ok && platform::fileOpen("new.bin", "rb") == nullptr;
}

bool missingFile() {
  return platform::fileOpen("no-such-file.bin", "rb") == nullptr &&
         platform::fileOpen("tokens.txt", "a") == nullptr;
}

bool timers() {
  platform::Timer timer = nullptr;
  if (platform::timerCreate(&timer) != 0) return false;
  bool ok = platform::timerArm(timer, platform::kTimerUnitsPerSecond / 5) == 0 &&
            !platform::timerFired(timer);
  platform::stall(400000);
  ok = ok && platform::timerFired(timer);
  ok = ok && platform::timerArm(timer, platform::kTimerUnitsPerSecond / 10) == 0 &&
       platform::timerCancel(timer) == 0;
  platform::stall(200000);
  ok = ok && !platform::timerFired(timer);
  // Fired and cancelled without anyone asking: arming again starts clean.
  ok = ok && platform::timerArm(timer, platform::kTimerUnitsPerSecond / 10) == 0;
  platform::stall(200000);
  ok = ok && platform::timerCancel(timer) == 0 &&
       platform::timerArm(timer, platform::kTimerUnitsPerSecond) == 0 &&
       !platform::timerFired(timer);
  platform::timerClose(timer);
  return ok;
}

// The monotonic clock (ticks of a periodic timer event) keeps the pace of
// Stall within a wide margin: a clock that stands still, or runs at ten
// times the pace, fails.
bool monotonicClock() {
  const uint64_t start = platform::monotonicMicroseconds();
  platform::stall(1000000);
  const uint64_t passed = platform::monotonicMicroseconds() - start;
  return passed >= 500000 && passed <= 2000000;
}

bool memory() {
  void* page = platform::allocate(0x8000);
  void* huge = platform::allocate(0x2000000);
  bool ok = page != nullptr && huge != nullptr;
  platform::release(page);
  platform::release(huge);
  return ok;
}

// With QEMU's KCS device present the status port reads 0 (idle); WRITE_START
// on the command port moves it to the write state with the output buffer
// full, and reading the data port empties the buffer.
void ports() {
  constexpr uint16_t kDataPort = 0xCA2;
  constexpr uint16_t kStatusPort = 0xCA3;
  constexpr uint8_t kWriteStart = 0x61;
  uint8_t idle = platform::portRead(kStatusPort);
  platform::portWrite(kStatusPort, kWriteStart);
  uint8_t started = platform::portRead(kStatusPort);
  platform::portRead(kDataPort);
  uint8_t drained = platform::portRead(kStatusPort);
  platform::print("PORTS %x %x %x\n", idle, started, drained);
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  uefi::start(imageHandle, systemTable);
  report("bytewise write", writePattern("bytes.bin", true));
  report("block write", writePattern("block.bin", false));
  report("bytewise read", readPatternBytewise("bytes.bin") && readPatternBytewise("block.bin"));
  report("seek, tell and block read", seekTellAndBlockRead("bytes.bin"));
  report("wb empties an existing file", rewriteEmptiesTheFile("old.bin"));
  report("wb+ reads back what it wrote", readWriteStream("rw.bin"));
  report("tokens", tokens("tokens.txt"));
  report("missing file and bad mode", missingFile());
  report("folders and replace", foldersAndReplace("EMPTYDIR"));
  report("timers", timers());
  report("monotonic clock", monotonicClock());
  report("memory", memory());
  ports();
  static char longArgument[601];
  text::fill(longArgument, 'a', sizeof longArgument - 1);
  platform::print("LONG %s\n", longArgument);  // beyond the console's line buffer
  platform::print("\xE2\x80\x9CWarning!\nquoted\xE2\x80\x9D\n");
  platform::print("progress 5%%\rprogress 10%%\r\n");
  platform::print("PRESS A KEY:");
  int key = platform::readKey();
  platform::print("\nKEY %d\n", key);
  uefi::stopClock();  // its notification lives in this image
  return EFI_SUCCESS;
}
