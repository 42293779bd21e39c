// Host file streams over stdio, with an injectable "volume full" limit.
#include <cctype>
#include <cstdio>

#include <sys/stat.h>

#include "platform/host/host.h"
#include "platform/platform.h"

namespace platform {

struct File {
  std::FILE* stream;
};

namespace {

int64_t bytesWrittenInAll = 0;

// How many of count bytes may still be written before the volume is full.
size_t writableBytes(size_t count) {
  int64_t limit = hostplatform::faults().writeLimit;
  if (limit < 0) return count;
  int64_t left = limit - bytesWrittenInAll;
  if (left <= 0) return 0;
  return static_cast<uint64_t>(left) < count ? static_cast<size_t>(left) : count;
}

bool modeIsKnown(const char* mode) {
  static const char* const kModes[] = {"r", "rb", "wb", "wb+"};
  for (const char* known : kModes) {
    const char* a = known;
    const char* b = mode;
    while (*a != '\0' && *a == *b) ++a, ++b;
    if (*a == *b) return true;
  }
  return false;
}

}  // namespace

File* fileOpen(const char* name, const char* mode) {
  if (!modeIsKnown(mode)) return nullptr;
  std::FILE* stream = std::fopen(name, mode);
  if (stream == nullptr) return nullptr;
  // Reading modes open a folder on POSIX; the firmware's files never do.
  struct stat status {};
  if (fstat(fileno(stream), &status) != 0 || S_ISDIR(status.st_mode)) {
    std::fclose(stream);
    return nullptr;
  }
  return new File{stream};
}

int fileSeek(File* file, int64_t position) {
  return std::fseek(file->stream, static_cast<long>(position), SEEK_SET) == 0 ? 0 : -1;
}

int fileSeekEnd(File* file) { return std::fseek(file->stream, 0, SEEK_END) == 0 ? 0 : -1; }

int64_t fileTell(File* file) { return std::ftell(file->stream); }

size_t fileRead(File* file, void* buffer, size_t count) {
  size_t limit = hostplatform::faults().readPieceLimit;
  if (limit != 0 && count > limit) count = limit;
  int64_t failsAt = hostplatform::faults().readFailsAt;
  if (failsAt >= 0) {
    int64_t position = std::ftell(file->stream);
    int64_t before = position < failsAt ? failsAt - position : 0;
    if (static_cast<uint64_t>(before) < count) count = static_cast<size_t>(before);
  }
  return std::fread(buffer, 1, count, file->stream);
}

int fileGetByte(File* file) { return std::fgetc(file->stream); }

bool fileReadToken(File* file, char* buffer, size_t capacity) {
  int c;
  do {
    c = std::fgetc(file->stream);
  } while (c != EOF && std::isspace(c));
  if (c == EOF) return false;
  size_t length = 0;
  while (c != EOF && !std::isspace(c)) {
    if (length + 1 < capacity) buffer[length++] = static_cast<char>(c);
    c = std::fgetc(file->stream);
  }
  if (c != EOF) std::ungetc(c, file->stream);
  if (capacity > 0) buffer[length] = '\0';
  return true;
}

bool fileAtEnd(File* file) { return std::feof(file->stream) != 0; }

size_t fileWrite(File* file, const void* buffer, size_t count) {
  size_t allowed = writableBytes(count);
  size_t written = std::fwrite(buffer, 1, allowed, file->stream);
  bytesWrittenInAll += static_cast<int64_t>(written);
  return written;
}

int filePutByte(File* file, uint8_t byte) { return fileWrite(file, &byte, 1) == 1 ? 0 : -1; }

int fileClose(File* file) {
  int result = std::fclose(file->stream);
  delete file;
  if (hostplatform::faults().closeFails) return -1;
  return result == 0 ? 0 : -1;
}

bool fileIsFolder(const char* name) {
  struct stat status {};
  return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
}

int fileReplace(const char* from, const char* to) {
  if (fileIsFolder(to)) return -1;
  if (hostplatform::faults().replaceFails) return -1;
  return std::rename(from, to) == 0 ? 0 : -1;
}

}  // namespace platform

namespace hostplatform {
// Starts a new count for the volume-full limit.
void resetWrittenBytes() { platform::bytesWrittenInAll = 0; }
}  // namespace hostplatform
