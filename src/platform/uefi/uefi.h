// What the UEFI platform files share: the firmware's tables and the
// application's handle. Only src/platform/uefi includes this.
#pragma once

extern "C" {
#include <efi.h>
#include <efilib.h>
}

namespace uefi {

// Set once by the entry point before anything else runs.
void start(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);

EFI_HANDLE imageHandle();
EFI_SYSTEM_TABLE* systemTable();
EFI_BOOT_SERVICES* bootServices();

// The shell's protocol, or nullptr when the program was not started by the
// shell (then no files can be opened).
EFI_SHELL_PROTOCOL* shell();

// The arguments as NUL-terminated UTF-8 in one pool block. Without the
// shell's parameters, argc is 1 and argv[0] the program's file name.
bool readArguments(int* argc, char*** argv);
// Gives the block back; also done by platform::exitProgram.
void releaseArguments();

// Records a timer event as open (or closed again); closeOpenTimers closes
// every one still open when the program ends.
void trackTimer(EFI_EVENT event, bool open);
// Also stops the monotonic clock's tick event.
void closeOpenTimers();
// Closes the monotonic clock's tick event (platform/uefi/clock.cpp).
void stopClock();

}  // namespace uefi
