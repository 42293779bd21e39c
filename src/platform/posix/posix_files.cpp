// The platform's file streams over the platform's file system (the real
// files in velkoran; the test host may put others, or faults, in between).
#include <cctype>

#include "platform/platform.h"
#include "platform/posix/file_system.h"
#include "platform/posix/posix.h"

namespace platform {

struct File {
  posixplatform::FileStream* stream;
};

namespace {

bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// False for a mode the program does not use.
bool openModeOf(const char* mode, posixplatform::OpenMode* openMode, bool* newFile) {
  using posixplatform::OpenMode;
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
bool takePinned(const char* name, posixplatform::OpenMode mode, File** file) {
  if (pinned.name == nullptr || mode != posixplatform::OpenMode::read ||
      !sameText(pinned.name, name)) {
    return false;
  }
  const int fd = pinned.fd;
  pinned = PinnedInput{};
  posixplatform::FileStream* stream = fd < 0 ? nullptr : posixplatform::adoptInput(fd);
  *file = stream == nullptr ? nullptr : new File{stream};
  return true;
}

}  // namespace

File* fileOpen(const char* name, const char* mode) {
  posixplatform::OpenMode openMode;
  bool newFile = false;
  if (!openModeOf(mode, &openMode, &newFile)) return nullptr;
  File* pinnedFile = nullptr;
  if (takePinned(name, openMode, &pinnedFile)) return pinnedFile;
  posixplatform::FileSystem& files = posixplatform::platformFileSystem();
  // A directory is no stream, even where the file system would open one.
  if (files.isDirectory(name)) return nullptr;
  posixplatform::FileStream* stream =
      newFile ? files.create(name, openMode) : files.open(name, openMode);
  if (stream == nullptr) return nullptr;
  return new File{stream};
}

int fileSeek(File* file, int64_t position) { return file->stream->seek(position); }

int fileSeekEnd(File* file) { return file->stream->seekEnd(); }

int64_t fileTell(File* file) { return file->stream->tell(); }

size_t fileRead(File* file, void* buffer, size_t count) {
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
  return file->stream->write(buffer, count);
}

int filePutByte(File* file, uint8_t byte) { return fileWrite(file, &byte, 1) == 1 ? 0 : -1; }

int fileFlush(File* file) { return file->stream->flush() == 0 ? 0 : -1; }

int fileClose(File* file) {
  const int result = file->stream->close();
  delete file;
  return result;
}

bool fileIsFolder(const char* name) {
  return posixplatform::platformFileSystem().isDirectory(name);
}

bool fileIsReplaceable(const char* name) {
  return !fileIsFolder(name) && !posixplatform::platformFileSystem().isDevice(name);
}

bool sameFile(const char* a, const char* b) {
  return posixplatform::platformFileSystem().sameFile(a, b);
}

bool isPathSeparator(char c) { return c == '/'; }

int fileRemove(const char* name) {
  if (fileIsFolder(name)) return -1;
  return posixplatform::platformFileSystem().remove(name);
}

int fileReplace(const char* from, const char* to) {
  if (!fileIsReplaceable(to)) return -1;
  return posixplatform::platformFileSystem().rename(from, to);
}

}  // namespace platform

namespace posixplatform {

void pinInput(const char* name, int fd) { platform::pinned = platform::PinnedInput{name, fd}; }

}  // namespace posixplatform
