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

// The shell's protocol, or nullptr when there is no shell.
EFI_SHELL_PROTOCOL* shell();
// True when the shell started the program (its parameters are on the image).
bool startedByShell();
// The loaded image of the program, or nullptr.
EFI_LOADED_IMAGE* loadedImage();

// The program's file path on its volume ("\EFI\BOOT\BOOTX64.EFI"), cut to
// capacity units with the terminator; empty when the firmware gave none.
constexpr UINTN kMaxPathUnits = 512;
// The path that the file path nodes of a device path (at most bytes long)
// spell, cut to capacity units with the terminator.
void devicePathFile(const void* devicePath, UINTN bytes, CHAR16* path, UINTN capacity);
void programPath(CHAR16* path, UINTN capacity);
// The folder of programPath ("\EFI\BOOT"; empty for the volume's root): where
// a program the boot manager started finds its relative names.
void programFolder(CHAR16* folder, UINTN capacity);

// The arguments as NUL-terminated UTF-8 in one pool block: the shell's, or
// for a program the boot manager started its load options or velkoran.args
// (platform/launch_arguments.h), argv[0] being the program's file path.
bool readArguments(int* argc, char*** argv);
// Gives the block back (the entry does it before the program returns).
void releaseArguments();

// Records a timer event as open (or closed again); closeOpenTimers closes
// every one still open when the program ends.
void trackTimer(EFI_EVENT event, bool open);
// Also stops the monotonic clock's tick event.
void closeOpenTimers();
// Closes the monotonic clock's tick event (platform/uefi/clock.cpp).
void stopClock();

// What the image returns for the program's exit status: the status itself
// to the shell; to the boot manager always an error (EFI_ABORTED), which
// makes it go on to the next boot option instead of opening its setup menu.
EFI_STATUS imageStatus(int status);

// Files: through the shell when it started the program, else through the
// volume the program was loaded from, names relative to the program's folder
// (a leading "\" from the volume's root; a mapping like "fs1:" is not found).
namespace fs {
using Handle = void*;
bool throughShell();
EFI_STATUS open(const CHAR16* name, Handle* handle, UINT64 mode);
EFI_STATUS close(Handle handle);
EFI_STATUS read(Handle handle, UINTN* size, void* buffer);
EFI_STATUS write(Handle handle, UINTN* size, const void* buffer);
EFI_STATUS setPosition(Handle handle, UINT64 position);
EFI_STATUS flush(Handle handle);
// Deletes the file and closes the handle; a warning means it is still there.
EFI_STATUS remove(Handle handle);
// The file's information in a pool block (platform::release), or nullptr.
EFI_FILE_INFO* info(Handle handle);
EFI_STATUS setInfo(Handle handle, EFI_FILE_INFO* fileInfo);
EFI_STATUS size(Handle handle, UINT64* bytes);
// Closes the program's folder; done before the program ends.
void closeVolume();
}  // namespace fs

}  // namespace uefi
