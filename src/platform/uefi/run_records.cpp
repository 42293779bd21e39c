// Local time from the firmware's clock and append-only files on the shell's
// file systems, for the run log.
#include "platform/calendar.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "platform/utf.h"

namespace platform {

struct AppendFile {
  SHELL_FILE_HANDLE handle;
};

namespace {

bool isDirectory(SHELL_FILE_HANDLE handle) {
  EFI_FILE_INFO* info = uefi::shell()->GetFileInfo(handle);
  if (info == nullptr) return true;  // not knowing, do not write into it
  bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  release(info);
  return directory;
}

// Opens (creating if needed, never emptying) and moves to the end.
bool openAtEnd(const CHAR16* name, SHELL_FILE_HANDLE* handle) {
  EFI_SHELL_PROTOCOL* shell = uefi::shell();
  constexpr UINT64 kMode = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
  if (EFI_ERROR(shell->OpenFileByName(name, handle, kMode))) return false;
  UINT64 size = 0;
  if (isDirectory(*handle) || EFI_ERROR(shell->GetFileSize(*handle, &size)) ||
      EFI_ERROR(shell->SetFilePosition(*handle, size))) {
    shell->CloseFile(*handle);
    return false;
  }
  return true;
}

}  // namespace

bool localTime(CalendarTime* now) {
  EFI_TIME time;
  if (EFI_ERROR(uefi::systemTable()->RuntimeServices->GetTime(&time, nullptr))) return false;
  *now = CalendarTime{time.Year, time.Month, time.Day, time.Hour, time.Minute, time.Second};
  return true;
}

bool universalTime(CalendarTime* now, bool* zoneKnown) {
  EFI_TIME time;
  if (EFI_ERROR(uefi::systemTable()->RuntimeServices->GetTime(&time, nullptr))) return false;
  *now = CalendarTime{time.Year, time.Month, time.Day, time.Hour, time.Minute, time.Second};
  *zoneKnown = time.TimeZone != EFI_UNSPECIFIED_TIMEZONE;
  if (*zoneKnown) {
    // TimeZone is the local time's offset from UTC in minutes: UTC = local - TimeZone.
    const int64_t local = calendar::toSeconds(*now);
    *now = calendar::fromSeconds(local - static_cast<int64_t>(time.TimeZone) * 60);
  }
  return true;
}

// The firmware offers no monotonic clock (timer events only fire).
bool steadyMicros(uint64_t*) { return false; }

AppendFile* appendFileOpen(const char* name) {
  if (uefi::shell() == nullptr) return nullptr;
  const size_t length = text::length(name);
  const size_t capacity = utf::utf16LengthOfUtf8(name, length) + 1;
  auto* wide = static_cast<uint16_t*>(allocate(capacity * sizeof(uint16_t)));
  if (wide == nullptr) return nullptr;
  utf::utf8ToUtf16(name, length, wide, capacity);
  SHELL_FILE_HANDLE handle = nullptr;
  const bool opened = openAtEnd(reinterpret_cast<CHAR16*>(wide), &handle);
  release(wide);
  if (!opened) return nullptr;
  auto* file = static_cast<AppendFile*>(allocate(sizeof(AppendFile)));
  if (file == nullptr) {
    uefi::shell()->CloseFile(handle);
    return nullptr;
  }
  file->handle = handle;
  return file;
}

bool appendFileWrite(AppendFile* file, const char* text, size_t length) {
  UINTN size = length;
  EFI_SHELL_PROTOCOL* shell = uefi::shell();
  if (EFI_ERROR(shell->WriteFile(file->handle, &size, const_cast<char*>(text))) ||
      size != length) {
    return false;
  }
  return !EFI_ERROR(shell->FlushFile(file->handle));
}

void appendFileClose(AppendFile* file) {
  uefi::shell()->CloseFile(file->handle);
  release(file);
}

}  // namespace platform
