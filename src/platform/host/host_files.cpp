// Host file streams over the chosen file system (real files or memory), with
// the injectable faults of a full volume, piecewise reads and failing closes.
#include <cctype>

#include "platform/host/file_system.h"
#include "platform/host/host.h"
#include "platform/platform.h"

namespace platform {

struct File {
  hostplatform::FileStream* stream;
  bool writeLost = false;  // a write fell short without saying so
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

bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// False for a mode the program does not use.
bool openModeOf(const char* mode, hostplatform::OpenMode* openMode, bool* newFile) {
  using hostplatform::OpenMode;
  static const struct {
    const char* text;
    OpenMode mode;
    bool newFile;
  } kModes[] = {{"r", OpenMode::read, false},
                {"rb", OpenMode::read, false},
                {"wb", OpenMode::write, false},
                {"wb+", OpenMode::writeAndRead, false},
                {"wbx", OpenMode::write, true},
                {"wbx+", OpenMode::writeAndRead, true}};
  for (const auto& known : kModes) {
    if (sameText(known.text, mode)) {
      *openMode = known.mode;
      *newFile = known.newFile;
      return true;
    }
  }
  return false;
}

struct PinnedInput {
  const char* name = nullptr;
  int fd = -1;
};

PinnedInput pinned;

// The pinned descriptor's stream when name is the pinned one (once).
bool takePinned(const char* name, hostplatform::OpenMode mode, File** file) {
  if (pinned.name == nullptr || mode != hostplatform::OpenMode::read ||
      !sameText(pinned.name, name)) {
    return false;
  }
  const int fd = pinned.fd;
  pinned = PinnedInput{};
  hostplatform::FileStream* stream = fd < 0 ? nullptr : hostplatform::adoptInput(fd);
  *file = stream == nullptr ? nullptr : new File{stream};
  return true;
}

}  // namespace

File* fileOpen(const char* name, const char* mode) {
  hostplatform::OpenMode openMode;
  bool newFile = false;
  if (!openModeOf(mode, &openMode, &newFile)) return nullptr;
  File* pinnedFile = nullptr;
  if (takePinned(name, openMode, &pinnedFile)) return pinnedFile;
  hostplatform::FileSystem& files = hostplatform::fileSystem();
  // A directory is no stream, even where the file system would open one.
  if (files.isDirectory(name)) return nullptr;
  hostplatform::FileStream* stream =
      newFile ? files.create(name, openMode) : files.open(name, openMode);
  if (stream == nullptr) return nullptr;
  return new File{stream};
}

int fileSeek(File* file, int64_t position) { return file->stream->seek(position); }

int fileSeekEnd(File* file) { return file->stream->seekEnd(); }

int64_t fileTell(File* file) { return file->stream->tell(); }

size_t fileRead(File* file, void* buffer, size_t count) {
  size_t limit = hostplatform::faults().readPieceLimit;
  if (limit != 0 && count > limit) count = limit;
  int64_t failsAt = hostplatform::faults().readFailsAt;
  if (failsAt >= 0) {
    int64_t position = file->stream->tell();
    int64_t before = position < failsAt ? failsAt - position : 0;
    if (static_cast<uint64_t>(before) < count) count = static_cast<size_t>(before);
  }
  return file->stream->read(buffer, count);
}

int fileGetByte(File* file) {
  uint8_t byte;
  return file->stream->read(&byte, 1) == 1 ? byte : -1;
}

bool fileReadToken(File* file, char* buffer, size_t capacity) {
  int c;
  do {
    c = fileGetByte(file);
  } while (c != -1 && std::isspace(c));
  if (c == -1) return false;
  size_t length = 0;
  while (c != -1 && !std::isspace(c)) {
    if (length + 1 < capacity) buffer[length++] = static_cast<char>(c);
    c = fileGetByte(file);
  }
  // The blank that ended the token is left for the next read.
  if (c != -1) file->stream->seek(file->stream->tell() - 1);
  if (capacity > 0) buffer[length] = '\0';
  return true;
}

bool fileAtEnd(File* file) { return file->stream->atEnd(); }

size_t fileWrite(File* file, const void* buffer, size_t count) {
  size_t allowed = writableBytes(count);
  size_t written = allowed == 0 ? 0 : file->stream->write(buffer, allowed);
  bytesWrittenInAll += static_cast<int64_t>(written);
  if (written < count && hostplatform::faults().writeLossShowsLate) {
    file->writeLost = true;
    return count;
  }
  return written;
}

int filePutByte(File* file, uint8_t byte) { return fileWrite(file, &byte, 1) == 1 ? 0 : -1; }

int fileFlush(File* file) { return file->stream->flush() == 0 && !file->writeLost ? 0 : -1; }

int fileClose(File* file) {
  int result = file->stream->close();
  if (file->writeLost) result = -1;
  delete file;
  if (hostplatform::faults().closeFails) return -1;
  return result;
}

bool fileIsFolder(const char* name) { return hostplatform::fileSystem().isDirectory(name); }

bool fileIsReplaceable(const char* name) {
  return !fileIsFolder(name) && !hostplatform::fileSystem().isDevice(name);
}

bool sameFile(const char* a, const char* b) { return hostplatform::fileSystem().sameFile(a, b); }

bool isPathSeparator(char c) { return c == '/'; }

int fileRemove(const char* name) {
  if (fileIsFolder(name)) return -1;
  return hostplatform::fileSystem().remove(name);
}

int fileReplace(const char* from, const char* to) {
  if (!fileIsReplaceable(to)) return -1;
  if (hostplatform::faults().replaceFails) return -1;
  return hostplatform::fileSystem().rename(from, to);
}

}  // namespace platform

namespace hostplatform {

namespace {
FileSystem* chosenFileSystem = nullptr;
}  // namespace

void setFileSystem(FileSystem* fileSystem) { chosenFileSystem = fileSystem; }

void pinInput(const char* name, int fd) { platform::pinned = platform::PinnedInput{name, fd}; }
FileSystem& fileSystem() {
  return chosenFileSystem != nullptr ? *chosenFileSystem : stdioFileSystem();
}

// Starts a new count for the volume-full limit.
void resetWrittenBytes() { platform::bytesWrittenInAll = 0; }

}  // namespace hostplatform
