// File handles either through the shell (names relative to its current
// directory, mappings such as fs1:) or, for a program the boot manager
// started, straight through the file protocol of the volume the program was
// loaded from (names relative to the program's folder).
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"

namespace uefi::fs {
namespace {

constinit EFI_FILE_HANDLE gFolder = nullptr;
constinit bool gFolderLooked = false;

EFI_FILE_HANDLE asFile(Handle handle) { return static_cast<EFI_FILE_HANDLE>(handle); }

// The folder that holds the program, opened once.
EFI_FILE_HANDLE programFolder() {
  if (gFolderLooked) return gFolder;
  gFolderLooked = true;
  EFI_LOADED_IMAGE* image = loadedImage();
  if (image == nullptr) return nullptr;
  EFI_GUID guid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
  void* interface = nullptr;
  if (EFI_ERROR(bootServices()->HandleProtocol(image->DeviceHandle, &guid, &interface))) {
    return nullptr;
  }
  auto* volume = static_cast<EFI_FILE_IO_INTERFACE*>(interface);
  EFI_FILE_HANDLE root = nullptr;
  if (EFI_ERROR(volume->OpenVolume(volume, &root))) return nullptr;
  CHAR16 folder[kMaxPathUnits];
  uefi::programFolder(folder, kMaxPathUnits);
  if (folder[0] == 0) {
    gFolder = root;  // the program sits in the root folder
    return gFolder;
  }
  EFI_FILE_HANDLE opened = nullptr;
  if (!EFI_ERROR(root->Open(root, &opened, folder, EFI_FILE_MODE_READ, 0))) gFolder = opened;
  root->Close(root);
  return gFolder;
}

// A copy of name with "/" taken as "\"; nullptr for a shell mapping
// ("fs1:\x"), which only the shell can resolve.
CHAR16* volumeName(const CHAR16* name) {
  size_t length = 0;
  for (; name[length] != 0; ++length) {
    if (name[length] == ':') return nullptr;
  }
  auto* copy = static_cast<CHAR16*>(platform::allocate((length + 1) * sizeof(CHAR16)));
  if (copy == nullptr) return nullptr;
  for (size_t i = 0; i <= length; ++i) copy[i] = name[i] == '/' ? '\\' : name[i];
  return copy;
}

EFI_FILE_INFO* volumeInfo(EFI_FILE_HANDLE file) {
  EFI_GUID guid = EFI_FILE_INFO_ID;
  UINTN size = 0;
  if (file->GetInfo(file, &guid, &size, nullptr) != EFI_BUFFER_TOO_SMALL) return nullptr;
  auto* info = static_cast<EFI_FILE_INFO*>(platform::allocate(size));
  if (info != nullptr && EFI_ERROR(file->GetInfo(file, &guid, &size, info))) {
    platform::release(info);
    return nullptr;
  }
  return info;
}

}  // namespace

bool throughShell() { return startedByShell() && shell() != nullptr; }

EFI_STATUS open(const CHAR16* name, Handle* handle, UINT64 mode) {
  if (throughShell()) {
    return shell()->OpenFileByName(name, reinterpret_cast<SHELL_FILE_HANDLE*>(handle), mode);
  }
  EFI_FILE_HANDLE folder = programFolder();
  CHAR16* path = volumeName(name);
  EFI_STATUS status = EFI_NOT_FOUND;
  if (folder != nullptr && path != nullptr) {
    EFI_FILE_HANDLE file = nullptr;
    status = folder->Open(folder, &file, path, mode, 0);
    if (!EFI_ERROR(status)) *handle = file;
  }
  platform::release(path);
  return status;
}

EFI_STATUS close(Handle handle) {
  if (throughShell()) return shell()->CloseFile(handle);
  return asFile(handle)->Close(asFile(handle));
}

EFI_STATUS read(Handle handle, UINTN* size, void* buffer) {
  if (throughShell()) return shell()->ReadFile(handle, size, buffer);
  return asFile(handle)->Read(asFile(handle), size, buffer);
}

EFI_STATUS write(Handle handle, UINTN* size, const void* buffer) {
  if (throughShell()) return shell()->WriteFile(handle, size, const_cast<void*>(buffer));
  return asFile(handle)->Write(asFile(handle), size, const_cast<void*>(buffer));
}

EFI_STATUS setPosition(Handle handle, UINT64 position) {
  if (throughShell()) return shell()->SetFilePosition(handle, position);
  return asFile(handle)->SetPosition(asFile(handle), position);
}

EFI_STATUS flush(Handle handle) {
  if (throughShell()) return shell()->FlushFile(handle);
  return asFile(handle)->Flush(asFile(handle));
}

EFI_STATUS remove(Handle handle) {
  if (throughShell()) return shell()->DeleteFile(handle);
  return asFile(handle)->Delete(asFile(handle));
}

EFI_FILE_INFO* info(Handle handle) {
  if (throughShell()) return shell()->GetFileInfo(handle);
  return volumeInfo(asFile(handle));
}

EFI_STATUS setInfo(Handle handle, EFI_FILE_INFO* fileInfo) {
  if (throughShell()) return shell()->SetFileInfo(handle, fileInfo);
  EFI_GUID guid = EFI_FILE_INFO_ID;
  return asFile(handle)->SetInfo(asFile(handle), &guid, fileInfo->Size, fileInfo);
}

EFI_STATUS size(Handle handle, UINT64* bytes) {
  if (throughShell()) return shell()->GetFileSize(handle, bytes);
  EFI_FILE_INFO* fileInfo = volumeInfo(asFile(handle));
  if (fileInfo == nullptr) return EFI_DEVICE_ERROR;
  *bytes = fileInfo->FileSize;
  platform::release(fileInfo);
  return EFI_SUCCESS;
}

void closeVolume() {
  if (gFolder != nullptr) gFolder->Close(gFolder);
  gFolder = nullptr;
}

}  // namespace uefi::fs
