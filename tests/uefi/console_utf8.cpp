// Test-machine setup, not part of the product: switches every serial
// terminal to VT-UTF8 so that the serial console carries the characters the
// program prints (OVMF's default terminal shows non-ASCII text as "?").
// The terminal driver keeps one child per serial port and changes its type
// when connected again with a terminal-type node.
#include "platform/uefi/uefi.h"

namespace {

struct TerminalTypePath {
  VENDOR_DEVICE_PATH vendor;
  EFI_DEVICE_PATH end;
} __attribute__((packed));

TerminalTypePath utf8TerminalPath() {
  TerminalTypePath path = {};
  path.vendor.Header.Type = MESSAGING_DEVICE_PATH;
  path.vendor.Header.SubType = MSG_VENDOR_DP;
  path.vendor.Header.Length[0] = sizeof(VENDOR_DEVICE_PATH);
  path.vendor.Guid = EFI_GUID(EFI_VT_UTF8_GUID);
  path.end.Type = END_DEVICE_PATH_TYPE;
  path.end.SubType = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  path.end.Length[0] = sizeof(EFI_DEVICE_PATH);
  return path;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  uefi::start(imageHandle, systemTable);
  EFI_BOOT_SERVICES* bs = uefi::bootServices();
  EFI_GUID serialGuid = EFI_SERIAL_IO_PROTOCOL_GUID;
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(bs->LocateHandleBuffer(ByProtocol, &serialGuid, nullptr, &count, &handles))) {
    return EFI_NOT_FOUND;
  }
  TerminalTypePath path = utf8TerminalPath();
  for (UINTN i = 0; i < count; ++i) {
    bs->ConnectController(handles[i], nullptr, reinterpret_cast<EFI_DEVICE_PATH*>(&path), false);
  }
  bs->FreePool(handles);
  return EFI_SUCCESS;
}
