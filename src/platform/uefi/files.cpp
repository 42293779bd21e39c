// Buffered file streams over the shell's file functions. Every firmware read
// or write is a trip through the file system driver, so byte-wide callers
// (the image reader, the dump writer) are served from one buffer per stream.
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "platform/utf.h"

namespace platform {

constexpr size_t kStreamBufferSize = 8192;

enum class BufferRole : uint8_t { empty, reading, writing };

struct File {
  SHELL_FILE_HANDLE handle;
  uint64_t position;          // the stream's position, as tell() reports it
  uint64_t firmwarePosition;  // where the next firmware read or write lands
  uint64_t bufferStart;       // file offset of buffer[0]
  size_t bufferLength;        // bytes read ahead, or bytes waiting to be written
  BufferRole role;
  bool atEnd;
  bool writeFailed;
  uint8_t buffer[kStreamBufferSize];
};

namespace {

size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool moveFirmwareTo(File* file, uint64_t position) {
  if (file->firmwarePosition == position) return true;
  if (EFI_ERROR(uefi::shell()->SetFilePosition(file->handle, position))) return false;
  file->firmwarePosition = position;
  return true;
}

size_t firmwareRead(File* file, uint64_t position, void* destination, size_t count) {
  if (!moveFirmwareTo(file, position)) return 0;
  UINTN size = count;
  if (EFI_ERROR(uefi::shell()->ReadFile(file->handle, &size, destination))) {
    file->firmwarePosition = ~0ull;  // unknown after a failure
    return 0;
  }
  file->firmwarePosition += size;
  return size;
}

size_t firmwareWrite(File* file, uint64_t position, const void* source, size_t count) {
  if (!moveFirmwareTo(file, position)) return 0;
  UINTN size = count;
  EFI_STATUS status = uefi::shell()->WriteFile(file->handle, &size, const_cast<void*>(source));
  if (EFI_ERROR(status)) {
    file->firmwarePosition = ~0ull;
    return size < count ? size : 0;
  }
  file->firmwarePosition += size;
  return size;
}

bool flushWrites(File* file) {
  if (file->role != BufferRole::writing) return true;
  size_t pending = file->bufferLength;
  bool written = firmwareWrite(file, file->bufferStart, file->buffer, pending) == pending;
  file->role = BufferRole::empty;
  file->bufferLength = 0;
  if (!written) file->writeFailed = true;
  return written;
}

// Bytes of the read-ahead buffer available at the stream position.
size_t bufferedAhead(const File* file) {
  if (file->role != BufferRole::reading || file->position < file->bufferStart) return 0;
  uint64_t offset = file->position - file->bufferStart;
  return offset < file->bufferLength ? file->bufferLength - offset : 0;
}

const uint8_t* bufferAtPosition(const File* file) {
  return file->buffer + (file->position - file->bufferStart);
}

bool refill(File* file) {
  file->bufferLength = firmwareRead(file, file->position, file->buffer, kStreamBufferSize);
  file->bufferStart = file->position;
  file->role = BufferRole::reading;
  return file->bufferLength > 0;
}

bool isDirectory(SHELL_FILE_HANDLE handle) {
  EFI_FILE_INFO* info = uefi::shell()->GetFileInfo(handle);
  if (info == nullptr) return false;
  bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  release(info);
  return directory;
}

// Opening with "create" keeps an existing file's contents, so a stream that
// must start empty deletes the file first.
bool openHandle(const CHAR16* name, bool forWriting, SHELL_FILE_HANDLE* handle) {
  EFI_SHELL_PROTOCOL* shell = uefi::shell();
  constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
  if (!forWriting) {
    return !EFI_ERROR(shell->OpenFileByName(name, handle, EFI_FILE_MODE_READ));
  }
  SHELL_FILE_HANDLE existing = nullptr;
  if (!EFI_ERROR(shell->OpenFileByName(name, &existing, kReadWrite)) &&
      EFI_ERROR(shell->DeleteFile(existing))) {
    return false;  // DeleteFile closed the handle either way
  }
  return !EFI_ERROR(shell->OpenFileByName(name, handle, kReadWrite | EFI_FILE_MODE_CREATE));
}

CHAR16* wideName(const char* name) {
  size_t length = text::length(name);
  size_t capacity = utf::utf16LengthOfUtf8(name, length) + 1;
  auto* wide = static_cast<uint16_t*>(allocate(capacity * sizeof(uint16_t)));
  if (wide != nullptr) utf::utf8ToUtf16(name, length, wide, capacity);
  return reinterpret_cast<CHAR16*>(wide);
}

}  // namespace

File* fileOpen(const char* name, const char* mode) {
  bool forReading = text::equal(mode, "r") || text::equal(mode, "rb");
  bool forWriting = text::equal(mode, "wb") || text::equal(mode, "wb+");
  if ((!forReading && !forWriting) || uefi::shell() == nullptr) return nullptr;
  CHAR16* wide = wideName(name);
  if (wide == nullptr) return nullptr;
  SHELL_FILE_HANDLE handle = nullptr;
  bool opened = openHandle(wide, forWriting, &handle);
  release(wide);
  if (!opened) return nullptr;
  auto* file = static_cast<File*>(allocate(sizeof(File)));
  if (file == nullptr || isDirectory(handle)) {
    uefi::shell()->CloseFile(handle);
    release(file);
    return nullptr;
  }
  text::fill(file, 0, sizeof(File) - kStreamBufferSize);
  file->handle = handle;
  file->role = BufferRole::empty;
  return file;
}

int fileSeek(File* file, int64_t position) {
  if (position < 0 || !flushWrites(file)) return -1;
  file->position = static_cast<uint64_t>(position);
  file->atEnd = false;
  return 0;
}

int fileSeekEnd(File* file) {
  UINT64 size = 0;
  if (!flushWrites(file) || EFI_ERROR(uefi::shell()->GetFileSize(file->handle, &size))) return -1;
  file->position = size;
  file->atEnd = false;
  return 0;
}

int64_t fileTell(File* file) { return static_cast<int64_t>(file->position); }

size_t fileRead(File* file, void* buffer, size_t count) {
  if (!flushWrites(file)) return 0;
  auto* destination = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    size_t ahead = bufferedAhead(file);
    if (ahead > 0) {
      size_t take = smaller(ahead, count - done);
      text::copyBytes(destination + done, bufferAtPosition(file), take);
      file->position += take;
      done += take;
    } else if (count - done >= kStreamBufferSize) {
      // Large reads go straight into the caller's buffer.
      size_t wanted = count - done;
      size_t got = firmwareRead(file, file->position, destination + done, wanted);
      file->position += got;
      done += got;
      if (got < wanted) break;
    } else if (!refill(file)) {
      break;
    }
  }
  if (done < count) file->atEnd = true;
  return done;
}

int fileGetByte(File* file) {
  if (bufferedAhead(file) > 0) {
    uint8_t byte = *bufferAtPosition(file);
    file->position += 1;
    return byte;
  }
  uint8_t byte;
  return fileRead(file, &byte, 1) == 1 ? byte : -1;
}

bool fileReadToken(File* file, char* buffer, size_t capacity) {
  if (capacity == 0) return false;
  int c;
  do {
    c = fileGetByte(file);
  } while (c != -1 && isSpace(c));
  if (c == -1) return false;
  size_t length = 0;
  while (c != -1 && !isSpace(c)) {
    if (length + 1 < capacity) buffer[length++] = static_cast<char>(c);
    c = fileGetByte(file);
  }
  if (c != -1) file->position -= 1;  // the delimiter stays unread, as with scanf
  buffer[length] = '\0';
  return true;
}

bool fileAtEnd(File* file) { return file->atEnd; }

size_t fileWrite(File* file, const void* buffer, size_t count) {
  if (file->role == BufferRole::reading) {
    file->role = BufferRole::empty;
    file->bufferLength = 0;
  }
  const auto* source = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    bool appendable = file->role == BufferRole::writing &&
                      file->position == file->bufferStart + file->bufferLength &&
                      file->bufferLength < kStreamBufferSize;
    if (appendable) {
      size_t take = smaller(kStreamBufferSize - file->bufferLength, count - done);
      text::copyBytes(file->buffer + file->bufferLength, source + done, take);
      file->bufferLength += take;
      file->position += take;
      done += take;
      continue;
    }
    if (!flushWrites(file)) break;
    size_t remaining = count - done;
    if (remaining >= kStreamBufferSize) {
      size_t written = firmwareWrite(file, file->position, source + done, remaining);
      file->position += written;
      done += written;
      if (written < remaining) {
        file->writeFailed = true;
        break;
      }
    } else {
      file->role = BufferRole::writing;
      file->bufferStart = file->position;
      file->bufferLength = 0;
    }
  }
  return done;
}

int filePutByte(File* file, uint8_t byte) { return fileWrite(file, &byte, 1) == 1 ? 0 : -1; }

int fileClose(File* file) {
  if (file == nullptr) return -1;
  bool written = flushWrites(file) && !file->writeFailed;
  uefi::shell()->CloseFile(file->handle);
  release(file);
  return written ? 0 : -1;
}

}  // namespace platform
