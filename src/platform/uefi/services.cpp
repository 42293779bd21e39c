// Firmware services: start-up state, arguments, memory, exit, timers and ports.
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "platform/utf.h"

namespace uefi {
namespace {

constinit EFI_HANDLE gImageHandle = nullptr;
constinit EFI_SYSTEM_TABLE* gSystemTable = nullptr;
constinit EFI_SHELL_PROTOCOL* gShell = nullptr;
constinit bool gShellLooked = false;
constinit char** gArguments = nullptr;

constexpr char kFallbackProgramName[] = "Velkoran.efi";

// Timer events still open when the program ends are closed then, whichever
// way it ends (the transport keeps one for the whole run).
constexpr int kTrackedTimers = 4;
constinit EFI_EVENT gOpenTimers[kTrackedTimers] = {};

EFI_SHELL_PARAMETERS_PROTOCOL* shellParameters() {
  EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
  void* interface = nullptr;
  EFI_STATUS status = bootServices()->OpenProtocol(gImageHandle, &guid, &interface, gImageHandle,
                                                   nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  return EFI_ERROR(status) ? nullptr : static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(interface);
}

// Lays out argc + 1 pointers followed by the converted strings in one block.
char** convertArguments(int argc, CHAR16** wideArgv) {
  size_t total = (static_cast<size_t>(argc) + 1) * sizeof(char*);
  for (int i = 0; i < argc; ++i) total += utf::utf8LengthOfUtf16(wideArgv[i]) + 1;
  auto** argv = static_cast<char**>(platform::allocate(total));
  if (argv == nullptr) return nullptr;
  char* strings = reinterpret_cast<char*>(argv + argc + 1);
  for (int i = 0; i < argc; ++i) {
    size_t capacity = utf::utf8LengthOfUtf16(wideArgv[i]) + 1;
    argv[i] = strings;
    strings += utf::utf16ToUtf8(wideArgv[i], strings, capacity) + 1;
  }
  argv[argc] = nullptr;
  return argv;
}

// Started other than from the shell: no arguments but the program's name.
char** programNameOnly() {
  size_t size = 2 * sizeof(char*) + sizeof kFallbackProgramName;
  auto** argv = static_cast<char**>(platform::allocate(size));
  if (argv == nullptr) return nullptr;
  char* name = reinterpret_cast<char*>(argv + 2);
  text::copyBytes(name, kFallbackProgramName, sizeof kFallbackProgramName);
  argv[0] = name;
  argv[1] = nullptr;
  return argv;
}

}  // namespace

void start(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  gImageHandle = imageHandle;
  gSystemTable = systemTable;
}

EFI_HANDLE imageHandle() { return gImageHandle; }
EFI_SYSTEM_TABLE* systemTable() { return gSystemTable; }
EFI_BOOT_SERVICES* bootServices() { return gSystemTable->BootServices; }

EFI_SHELL_PROTOCOL* shell() {
  if (!gShellLooked) {
    gShellLooked = true;
    EFI_GUID guid = EFI_SHELL_PROTOCOL_GUID;
    void* interface = nullptr;
    if (!EFI_ERROR(bootServices()->LocateProtocol(&guid, nullptr, &interface))) {
      gShell = static_cast<EFI_SHELL_PROTOCOL*>(interface);
    }
  }
  return gShell;
}

bool readArguments(int* argc, char*** argv) {
  EFI_SHELL_PARAMETERS_PROTOCOL* parameters = shellParameters();
  if (parameters != nullptr) {
    *argc = static_cast<int>(parameters->Argc);
    gArguments = convertArguments(*argc, parameters->Argv);
  } else {
    *argc = 1;
    gArguments = programNameOnly();
  }
  *argv = gArguments;
  return gArguments != nullptr;
}

void releaseArguments() {
  platform::release(gArguments);
  gArguments = nullptr;
}

void trackTimer(EFI_EVENT event, bool open) {
  for (EFI_EVENT& slot : gOpenTimers) {
    if (slot == (open ? nullptr : event)) {
      slot = open ? event : nullptr;
      return;
    }
  }
}

void closeOpenTimers() {
  for (EFI_EVENT& slot : gOpenTimers) {
    if (slot != nullptr) bootServices()->CloseEvent(slot);
    slot = nullptr;
  }
  stopClock();
}

}  // namespace uefi

namespace platform {

void* allocate(size_t size) {
  void* block = nullptr;
  EFI_STATUS status = uefi::bootServices()->AllocatePool(EfiLoaderData, size, &block);
  return EFI_ERROR(status) ? nullptr : block;
}

void release(void* block) {
  if (block != nullptr) uefi::bootServices()->FreePool(block);
}

void exitProgram(int status) {
  flush();
  uefi::closeOpenTimers();
  uefi::releaseArguments();
  uefi::bootServices()->Exit(uefi::imageHandle(), static_cast<EFI_STATUS>(status), 0, nullptr);
  // Exit does not come back for a started image; stop here should it ever.
  for (;;) {
  }
}

int timerCreate(Timer* timer) {
  EFI_EVENT event = nullptr;
  EFI_STATUS status =
      uefi::bootServices()->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &event);
  if (EFI_ERROR(status)) return -1;
  uefi::trackTimer(event, true);
  *timer = event;
  return 0;
}

int timerArm(Timer timer, uint64_t units100ns) {
  if (EFI_ERROR(uefi::bootServices()->SetTimer(timer, TimerRelative, units100ns))) return -1;
  // SetTimer replaces the old trigger but leaves the event signalled if
  // that one already fired; asking once clears it. The new trigger lies
  // ahead, so this cannot take its firing.
  (void)uefi::bootServices()->CheckEvent(timer);
  return 0;
}

int timerCancel(Timer timer) {
  return EFI_ERROR(uefi::bootServices()->SetTimer(timer, TimerCancel, 0)) ? -1 : 0;
}

bool timerFired(Timer timer) { return !EFI_ERROR(uefi::bootServices()->CheckEvent(timer)); }

void timerClose(Timer timer) {
  uefi::trackTimer(timer, false);
  uefi::bootServices()->CloseEvent(timer);
}

uint8_t portRead(uint16_t port) {
  uint8_t value;
  asm volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

void portWrite(uint16_t port, uint8_t value) {
  asm volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

}  // namespace platform
