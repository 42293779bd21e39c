// Local time from the firmware's clock and append-only files (through the
// shell or on the program's volume), for the run log.
#include "platform/calendar.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "platform/utf.h"

namespace platform {

struct AppendFile {
  uefi::fs::Handle handle;
};

namespace {

bool isDirectory(uefi::fs::Handle handle) {
  EFI_FILE_INFO* info = uefi::fs::info(handle);
  if (info == nullptr) return true;  // not knowing, do not write into it
  bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  release(info);
  return directory;
}

// Opens (creating if needed, never emptying) and moves to the end.
bool openAtEnd(const CHAR16* name, uefi::fs::Handle* handle) {
    constexpr UINT64 kMode = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
  if (EFI_ERROR(uefi::fs::open(name, handle, kMode))) return false;
  UINT64 size = 0;
  if (isDirectory(*handle) || EFI_ERROR(uefi::fs::size(*handle, &size)) ||
      EFI_ERROR(uefi::fs::setPosition(*handle, size))) {
    uefi::fs::close(*handle);
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

AppendFile* appendFileOpen(const char* name) {
  const size_t length = text::length(name);
  const size_t capacity = utf::utf16LengthOfUtf8(name, length) + 1;
  auto* wide = static_cast<uint16_t*>(allocate(capacity * sizeof(uint16_t)));
  if (wide == nullptr) return nullptr;
  utf::utf8ToUtf16(name, length, wide, capacity);
  uefi::fs::Handle handle = nullptr;
  const bool opened = openAtEnd(reinterpret_cast<CHAR16*>(wide), &handle);
  release(wide);
  if (!opened) return nullptr;
  auto* file = static_cast<AppendFile*>(allocate(sizeof(AppendFile)));
  if (file == nullptr) {
    uefi::fs::close(handle);
    return nullptr;
  }
  file->handle = handle;
  return file;
}

bool appendFileWrite(AppendFile* file, const char* text, size_t length) {
  UINTN size = length;
    if (EFI_ERROR(uefi::fs::write(file->handle, &size, const_cast<char*>(text))) ||
      size != length) {
    return false;
  }
  return !EFI_ERROR(uefi::fs::flush(file->handle));
}

void appendFileClose(AppendFile* file) {
  uefi::fs::close(file->handle);
  release(file);
}

}  // namespace platform
