// The application's entry point: called by gnu-efi's start-up code with the
// System V convention, so it is not declared EFIAPI.
#include "app/run.h"
#include "platform/platform.h"
#include "platform/uefi/uefi.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  uefi::start(imageHandle, systemTable);
  int argc = 0;
  char** argv = nullptr;
  if (!uefi::readArguments(&argc, &argv)) {
    platform::print("ERROR: cannot read the command line\n");
    return uefi::imageStatus(0);
  }
  // 0, or with --status the outcome class, which the shell shows in
  // %lasterror%; the boot manager gets an error status (see imageStatus).
  const int status = velkoranMain(argc, argv);
  platform::flush();
  uefi::closeOpenTimers();
  uefi::releaseArguments();
  uefi::fs::closeVolume();
  return uefi::imageStatus(status);
}
