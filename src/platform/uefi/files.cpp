// File streams on the shell's file systems or the program's own volume
// (file_access.cpp): a buffered stream over the firmware's file functions,
// so that byte-wide callers make no firmware call per byte.
#include "platform/buffered_stream.h"
#include "platform/platform.h"
#include "platform/shell_path.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "platform/utf.h"

namespace platform {

struct File {
  uefi::fs::Handle handle;
  bool writable;
  uint64_t firmwarePosition;  // where the next firmware read or write lands
  BufferedStream stream;
};

namespace {

constexpr uint64_t kPositionUnknown = ~0ull;

bool moveFirmwareTo(File* file, uint64_t position) {
  if (file->firmwarePosition == position) return true;
  if (EFI_ERROR(uefi::fs::setPosition(file->handle, position))) return false;
  file->firmwarePosition = position;
  return true;
}

size_t readAt(void* context, uint64_t position, void* destination, size_t count) {
  auto* file = static_cast<File*>(context);
  if (!moveFirmwareTo(file, position)) return 0;
  UINTN size = count;
  if (EFI_ERROR(uefi::fs::read(file->handle, &size, destination))) {
    file->firmwarePosition = kPositionUnknown;
    return 0;
  }
  file->firmwarePosition += size;
  return size;
}

size_t writeAt(void* context, uint64_t position, const void* source, size_t count) {
  auto* file = static_cast<File*>(context);
  if (!moveFirmwareTo(file, position)) return 0;
  UINTN size = count;
  EFI_STATUS status = uefi::fs::write(file->handle, &size, const_cast<void*>(source));
  if (EFI_ERROR(status)) {
    file->firmwarePosition = kPositionUnknown;
    return size < count ? size : 0;
  }
  file->firmwarePosition += size;
  return size;
}

bool sizeOf(void* context, uint64_t* size) {
  UINT64 bytes = 0;
  if (EFI_ERROR(uefi::fs::size(static_cast<File*>(context)->handle, &bytes))) {
    return false;
  }
  *size = bytes;
  return true;
}

bool isDirectory(uefi::fs::Handle handle) {
  EFI_FILE_INFO* info = uefi::fs::info(handle);
  if (info == nullptr) return false;
  bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  release(info);
  return directory;
}

// Opening with "create" keeps an existing file's contents (and deleting it
// first may report failure only as a warning), so a stream that must start
// empty cuts the file to size 0 itself.
bool emptyFile(uefi::fs::Handle handle) {
  EFI_FILE_INFO* info = uefi::fs::info(handle);
  if (info == nullptr) return false;
  bool empty = info->FileSize == 0;
  if (!empty) {
    info->FileSize = 0;
    empty = uefi::fs::setInfo(handle, info) == EFI_SUCCESS;
  }
  release(info);
  return empty;
}

// A folder is refused before anything is created or emptied: the file
// system would let it be opened for writing.
bool openHandle(const CHAR16* name, bool forWriting, uefi::fs::Handle* handle) {
    constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
  UINT64 mode = forWriting ? kReadWrite | EFI_FILE_MODE_CREATE : EFI_FILE_MODE_READ;
  if (EFI_ERROR(uefi::fs::open(name, handle, mode))) return false;
  if (isDirectory(*handle) || (forWriting && !emptyFile(*handle))) {
    uefi::fs::close(*handle);
    return false;
  }
  return true;
}

CHAR16* wideName(const char* name) {
  size_t length = text::length(name);
  size_t capacity = utf::utf16LengthOfUtf8(name, length) + 1;
  auto* wide = static_cast<uint16_t*>(allocate(capacity * sizeof(uint16_t)));
  if (wide != nullptr) utf::utf8ToUtf16(name, length, wide, capacity);
  return reinterpret_cast<CHAR16*>(wide);
}

size_t wideLength(const CHAR16* name) {
  size_t length = 0;
  while (name[length] != 0) ++length;
  return length;
}

// The last component of a path: the name within its folder.
const CHAR16* baseName(const CHAR16* path) {
  const CHAR16* base = path;
  for (const CHAR16* c = path; *c != 0; ++c) {
    if (*c == '\\' || *c == '/' || *c == ':') base = c + 1;
  }
  return base;
}

// Removes the file `name` if there is one; a folder refuses.
bool removeFile(const CHAR16* name) {
    uefi::fs::Handle handle = nullptr;
  constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
  if (EFI_ERROR(uefi::fs::open(name, &handle, kReadWrite))) return true;
  if (isDirectory(handle)) {
    uefi::fs::close(handle);
    return false;
  }
  // A warning means the file is still there.
  return uefi::fs::remove(handle) == EFI_SUCCESS;  // closes the handle either way
}

// Renames the file `from` to newName within its folder through its file
// information; the file system refuses a name that is taken.
bool renameFile(const CHAR16* from, const CHAR16* newName) {
    uefi::fs::Handle handle = nullptr;
  if (EFI_ERROR(uefi::fs::open(from, &handle, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE))) {
    return false;
  }
  bool renamed = false;
  EFI_FILE_INFO* info = uefi::fs::info(handle);
  size_t nameBytes = (wideLength(newName) + 1) * sizeof(CHAR16);
  auto* renamedInfo = static_cast<EFI_FILE_INFO*>(allocate(SIZE_OF_EFI_FILE_INFO + nameBytes));
  if (info != nullptr && renamedInfo != nullptr) {
    text::copyBytes(renamedInfo, info, SIZE_OF_EFI_FILE_INFO);
    text::copyBytes(renamedInfo->FileName, newName, nameBytes);
    renamedInfo->Size = SIZE_OF_EFI_FILE_INFO + nameBytes;
    renamed = uefi::fs::setInfo(handle, renamedInfo) == EFI_SUCCESS;
  }
  release(renamedInfo);
  release(info);
  return uefi::fs::close(handle) == EFI_SUCCESS && renamed;
}

}  // namespace

File* fileOpen(const char* name, const char* mode) {
  bool forReading = text::equal(mode, "r") || text::equal(mode, "rb");
  // FAT has no links: a new file is written as any other.
  bool forWriting = text::equal(mode, "wb") || text::equal(mode, "wb+") ||
                    text::equal(mode, "wbx") || text::equal(mode, "wbx+");
  if ((!forReading && !forWriting)) return nullptr;
  CHAR16* wide = wideName(name);
  if (wide == nullptr) return nullptr;
  uefi::fs::Handle handle = nullptr;
  bool opened = openHandle(wide, forWriting, &handle);
  release(wide);
  if (!opened) return nullptr;
  auto* file = static_cast<File*>(allocate(sizeof(File)));
  if (file == nullptr) {
    uefi::fs::close(handle);
    return nullptr;
  }
  file->handle = handle;
  file->writable = forWriting;
  file->firmwarePosition = 0;
  streamInit(&file->stream, StreamBackend{file, readAt, writeAt, sizeOf});
  return file;
}

int fileSeek(File* file, int64_t position) { return streamSeek(&file->stream, position); }
int fileSeekEnd(File* file) { return streamSeekEnd(&file->stream); }
int64_t fileTell(File* file) { return streamTell(&file->stream); }

size_t fileRead(File* file, void* buffer, size_t count) {
  return streamRead(&file->stream, buffer, count);
}

int fileGetByte(File* file) { return streamGetByte(&file->stream); }

bool fileReadToken(File* file, char* buffer, size_t capacity) {
  return streamReadToken(&file->stream, buffer, capacity);
}

bool fileAtEnd(File* file) { return streamAtEnd(&file->stream); }

size_t fileWrite(File* file, const void* buffer, size_t count) {
  return streamWrite(&file->stream, buffer, count);
}

int filePutByte(File* file, uint8_t byte) { return streamPutByte(&file->stream, byte); }

int fileFlush(File* file) { return streamFlush(&file->stream) ? 0 : -1; }

int fileClose(File* file) {
  if (file == nullptr) return -1;
  bool written = streamFlush(&file->stream);
  // The file system may hold written data back until it is flushed (a file
  // opened for reading only refuses to be flushed).
  if (file->writable) {
    written = uefi::fs::flush(file->handle) == EFI_SUCCESS && written;
  }
  written = uefi::fs::close(file->handle) == EFI_SUCCESS && written;
  release(file);
  return written ? 0 : -1;
}

bool fileIsFolder(const char* name) {
  CHAR16* wide = wideName(name);
  if (wide == nullptr) return false;
  uefi::fs::Handle handle = nullptr;
  bool folder = !EFI_ERROR(uefi::fs::open(wide, &handle, EFI_FILE_MODE_READ));
  release(wide);
  if (!folder) return false;
  folder = isDirectory(handle);
  uefi::fs::close(handle);
  return folder;
}

// FAT has no device nodes.
bool fileIsReplaceable(const char* name) { return !fileIsFolder(name); }

// Names resolve as fs::open resolves them: through the shell in its current
// folder; without it in the program's folder, "\x" from its volume's root,
// and a mapping ("fs1:") never matches a name on the program's volume.
bool sameFile(const char* a, const char* b) {
  constexpr size_t kFolderCapacity = 1024;
  char folder[kFolderCapacity] = "";
  CHAR16 programFolder[uefi::kMaxPathUnits];
  const CHAR16* current = nullptr;
  if (uefi::fs::throughShell()) {
    current = uefi::shell()->GetCurDir(nullptr);
  } else {
    uefi::programFolder(programFolder, uefi::kMaxPathUnits);
    current = programFolder;
  }
  // A folder too long to hold is compared as far as it was held.
  if (current != nullptr) {
    utf::utf16ToUtf8(reinterpret_cast<const uint16_t*>(current), folder, sizeof folder);
  }
  return shellpath::sameFile(folder, a, b);
}

bool isPathSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

int fileReplace(const char* from, const char* to) {
  CHAR16* wideFrom = wideName(from);
  CHAR16* wideTo = wideName(to);
  bool replaced = wideFrom != nullptr && wideTo != nullptr && removeFile(wideTo) &&
                  renameFile(wideFrom, baseName(wideTo));
  release(wideFrom);
  release(wideTo);
  return replaced ? 0 : -1;
}

int fileRemove(const char* name) {
  CHAR16* wide = wideName(name);
  const bool removed = wide != nullptr && removeFile(wide);
  release(wide);
  return removed ? 0 : -1;
}

}  // namespace platform
