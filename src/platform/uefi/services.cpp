// Firmware services: start-up state, arguments, memory, exit, timers and ports.
#include "platform/launch_arguments.h"
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
constinit int gStartedByShell = -1;  // not yet looked at

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

// The program's file path as UTF-8 in a pool block.
char* programName() {
  CHAR16 path[kMaxPathUnits];
  programPath(path, kMaxPathUnits);
  auto* wide = reinterpret_cast<const uint16_t*>(path);
  const size_t capacity = path[0] != 0 ? utf::utf8LengthOfUtf16(wide) + 1 : sizeof kFallbackProgramName;
  auto* name = static_cast<char*>(platform::allocate(capacity));
  if (name == nullptr) return nullptr;
  if (path[0] != 0) {
    utf::utf16ToUtf8(wide, name, capacity);
  } else {
    text::copyBytes(name, kFallbackProgramName, sizeof kFallbackProgramName);
  }
  return name;
}

// Started by the boot manager: the load options, else velkoran.args.
char** bootArguments(int* argc) {
  EFI_LOADED_IMAGE* image = loadedImage();
  char* name = programName();
  if (name == nullptr) return nullptr;
  launch::Arguments arguments{};
  const bool built = launch::buildArguments(name, image != nullptr ? image->LoadOptions : nullptr,
                                            image != nullptr ? image->LoadOptionsSize : 0,
                                            &arguments);
  platform::release(name);
  if (!built) return nullptr;
  launch::printRefusal(arguments);
  *argc = arguments.argc;
  return arguments.argv;
}

}  // namespace

void start(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  gImageHandle = imageHandle;
  gSystemTable = systemTable;
}

EFI_HANDLE imageHandle() { return gImageHandle; }
EFI_SYSTEM_TABLE* systemTable() { return gSystemTable; }
EFI_BOOT_SERVICES* bootServices() { return gSystemTable->BootServices; }

EFI_LOADED_IMAGE* loadedImage() {
  EFI_GUID guid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
  void* interface = nullptr;
  if (EFI_ERROR(bootServices()->HandleProtocol(gImageHandle, &guid, &interface))) return nullptr;
  return static_cast<EFI_LOADED_IMAGE*>(interface);
}

// Device path nodes are packed: a file path node's name is read unit by
// unit from its bytes. Several file path nodes make one path.
void devicePathFile(const void* devicePath, UINTN bytes, CHAR16* path, UINTN capacity) {
  size_t length = 0;
  const auto* node = static_cast<const uint8_t*>(devicePath);
  size_t remaining = node != nullptr ? bytes : 0;
  while (remaining >= 4 && node[0] != END_DEVICE_PATH_TYPE) {
    const size_t nodeLength = static_cast<size_t>(node[2] | (node[3] << 8));
    if (nodeLength < 4 || nodeLength > remaining) break;
    remaining -= nodeLength;
    if (node[0] == MEDIA_DEVICE_PATH && node[1] == MEDIA_FILEPATH_DP) {
      if (length > 0 && path[length - 1] != '\\' && nodeLength > 5 && node[4] != '\\' &&
          length + 1 < capacity) {
        path[length++] = '\\';
      }
      for (size_t at = 4; at + 1 < nodeLength && length + 1 < capacity; at += 2) {
        const CHAR16 unit = static_cast<CHAR16>(node[at] | (node[at + 1] << 8));
        if (unit == 0) break;
        path[length++] = unit;
      }
    }
    node += nodeLength;
  }
  path[length] = 0;
}

// The firmware built the image's device path itself: it is well formed and
// ends with an end node.
void programPath(CHAR16* path, UINTN capacity) {
  EFI_LOADED_IMAGE* image = loadedImage();
  constexpr size_t kUnbounded = ~static_cast<size_t>(0) / 2;
  devicePathFile(image != nullptr ? image->FilePath : nullptr, kUnbounded, path, capacity);
}

void programFolder(CHAR16* folder, UINTN capacity) {
  programPath(folder, capacity);
  size_t cut = 0;
  for (size_t i = 0; folder[i] != 0; ++i) {
    if (folder[i] == '\\') cut = i;
  }
  folder[cut] = 0;
}

bool startedByShell() {
  if (gStartedByShell < 0) gStartedByShell = shellParameters() != nullptr ? 1 : 0;
  return gStartedByShell == 1;
}

EFI_STATUS imageStatus(int status) {
  return startedByShell() ? static_cast<EFI_STATUS>(status) : EFI_ABORTED;
}

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
    gArguments = bootArguments(argc);
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

bool machineEndAllowed() { return true; }

// The firmware has no signals: only a reset stops a run.
int stopSignal() { return 0; }
const char* stopSignalName() { return nullptr; }

// Every file of the run is closed by now; the program's folder is the last.
void endMachine(bool powerOff) {
  uefi::fs::closeVolume();
  uefi::systemTable()->RuntimeServices->ResetSystem(powerOff ? EfiResetShutdown : EfiResetCold,
                                                    EFI_SUCCESS, 0, nullptr);
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
