// Test application, not part of the product: leaves the KCS interface at
// 0xCA2/0xCA3 the way another program or an interrupted run could leave it,
// for the next program to find. Argument "error": a lone GET_STATUS/ABORT;
// "write": WRITE_START and one request byte; "read": a whole Get Device ID
// request, its first reply byte read and no READ code written. Prints
// "KCS LEFT <argument> status 0x<status>" or "KCS LEAVE FAILED".
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "raw_kcs.h"

namespace {

using namespace rawkcs;

constexpr uint8_t kGetStatusAbort = 0x60;

// Writes one byte or code and, once the interface has taken it, reads the
// dummy byte it leaves.
bool put(uint16_t port, uint8_t value, bool takeDummy) {
  platform::portWrite(port, value);
  if (!waitStatus(kIbf, 0)) return false;
  if (takeDummy && waitStatus(kObf, kObf)) (void)platform::portRead(kDataPort);
  return true;
}

bool leave(const char* where) {
  if (!waitStatus(kIbf, 0)) return false;
  if (text::equal(where, "error")) return put(kStatusPort, kGetStatusAbort, false);
  if (text::equal(where, "write")) {
    return put(kStatusPort, kWriteStart, true) && put(kDataPort, 0x18, false);
  }
  if (!text::equal(where, "read")) return false;
  // Get Device ID: network function 0x06 (0x18 with LUN 0), command 0x01.
  const bool written = put(kStatusPort, kWriteStart, true) && put(kDataPort, 0x18, true) &&
                       put(kStatusPort, kWriteEnd, true) && put(kDataPort, 0x01, false);
  if (!written || !waitStatus(kObf, kObf)) return false;
  (void)platform::portRead(kDataPort);
  return true;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  uefi::start(imageHandle, systemTable);
  int argc = 0;
  char** argv = nullptr;
  if (uefi::readArguments(&argc, &argv) && argc == 2 && leave(argv[1])) {
    platform::print("KCS LEFT %s status 0x%x\n", argv[1], platform::portRead(kStatusPort));
  } else {
    platform::print("KCS LEAVE FAILED\n");
  }
  uefi::releaseArguments();
  return EFI_SUCCESS;
}
