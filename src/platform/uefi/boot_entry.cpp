// The boot entry that started the program, removed after its job (--once):
// out of BootOrder first, then its Boot#### variable, so that no start of
// the machine finds an order naming an entry that is half gone.
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"

namespace {

constexpr size_t kEntryNameUnits = 9;  // "Boot0100" and its NUL

EFI_RUNTIME_SERVICES* runtime() { return uefi::systemTable()->RuntimeServices; }

EFI_GUID globalVariables() {
  EFI_GUID guid = EFI_GLOBAL_VARIABLE;
  return guid;
}

// The variable's bytes in a pool block (platform::release), or nullptr.
uint8_t* readVariable(const CHAR16* name, UINTN* size, UINT32* attributes) {
  EFI_GUID guid = globalVariables();
  *size = 0;
  auto* variable = const_cast<CHAR16*>(name);
  if (runtime()->GetVariable(variable, &guid, attributes, size, nullptr) != EFI_BUFFER_TOO_SMALL) {
    return nullptr;
  }
  auto* bytes = static_cast<uint8_t*>(platform::allocate(*size));
  if (bytes != nullptr && EFI_ERROR(runtime()->GetVariable(variable, &guid, attributes, size, bytes))) {
    platform::release(bytes);
    return nullptr;
  }
  return bytes;
}

bool startingEntry(UINT16* number) {
  EFI_GUID guid = globalVariables();
  UINTN size = sizeof *number;
  CHAR16 name[] = {'B', 'o', 'o', 't', 'C', 'u', 'r', 'r', 'e', 'n', 't', 0};
  return !EFI_ERROR(runtime()->GetVariable(name, &guid, nullptr, &size, number)) &&
         size == sizeof *number;
}

// "Boot" and four upper-case hex digits, as the firmware names the entries.
void entryName(UINT16 number, CHAR16* wide, char* narrow, size_t capacity) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  char text[kEntryNameUnits] = {'B', 'o', 'o', 't'};
  for (int i = 0; i < 4; ++i) text[4 + i] = kDigits[(number >> (12 - 4 * i)) & 0xF];
  text[8] = '\0';
  for (size_t i = 0; i < kEntryNameUnits; ++i) wide[i] = static_cast<CHAR16>(text[i]);
  text::copy(narrow, capacity, text);
}

CHAR16 upper(CHAR16 unit) { return unit >= 'a' && unit <= 'z' ? unit - 'a' + 'A' : unit; }

bool samePath(const CHAR16* a, const CHAR16* b) {
  if (*a == '\\') ++a;
  if (*b == '\\') ++b;
  for (; *a != 0 && upper(*a) == upper(*b); ++a, ++b) {
  }
  return *a == 0 && *b == 0;
}

// An EFI_LOAD_OPTION: attributes (4 bytes), the file path list's length (2),
// the description up to its NUL, then the file path list.
bool entryNamesProgram(const uint8_t* option, UINTN size) {
  if (size < 6) return false;
  const size_t listLength = static_cast<size_t>(option[4] | (option[5] << 8));
  size_t at = 6;
  while (at + 1 < size && (option[at] != 0 || option[at + 1] != 0)) at += 2;
  at += 2;
  if (at > size || listLength > size - at) return false;
  CHAR16 named[uefi::kMaxPathUnits];
  CHAR16 program[uefi::kMaxPathUnits];
  uefi::devicePathFile(option + at, listLength, named, uefi::kMaxPathUnits);
  uefi::programPath(program, uefi::kMaxPathUnits);
  return named[0] != 0 && samePath(named, program);
}

// BootOrder without number; true when it no longer holds it.
bool dropFromBootOrder(UINT16 number) {
  CHAR16 name[] = {'B', 'o', 'o', 't', 'O', 'r', 'd', 'e', 'r', 0};
  UINTN size = 0;
  UINT32 attributes = 0;
  uint8_t* order = readVariable(name, &size, &attributes);
  if (order == nullptr) return true;  // no order, nothing names the entry
  UINTN kept = 0;
  for (UINTN at = 0; at + 1 < size; at += 2) {
    if ((order[at] | (order[at + 1] << 8)) == number) continue;
    order[kept++] = order[at];
    order[kept++] = order[at + 1];
  }
  EFI_GUID guid = globalVariables();
  const bool dropped =
      kept == size || !EFI_ERROR(runtime()->SetVariable(name, &guid, attributes, kept, order));
  platform::release(order);
  return dropped;
}

}  // namespace

namespace platform {

bool bootEntryRemovable() { return !uefi::startedByShell(); }

BootEntryRemoval removeStartingBootEntry(char* name, size_t capacity) {
  if (capacity > 0) name[0] = '\0';
  UINT16 number = 0;
  if (!startingEntry(&number)) return BootEntryRemoval::kNoEntry;
  CHAR16 variable[kEntryNameUnits];
  entryName(number, variable, name, capacity);
  UINTN size = 0;
  UINT32 attributes = 0;
  uint8_t* option = readVariable(variable, &size, &attributes);
  if (option == nullptr) return BootEntryRemoval::kNoEntry;
  const bool ours = entryNamesProgram(option, size);
  platform::release(option);
  if (!ours) return BootEntryRemoval::kNotThisProgram;
  if (!dropFromBootOrder(number)) return BootEntryRemoval::kFailed;
  EFI_GUID guid = globalVariables();
  // A size of 0 deletes the variable.
  if (EFI_ERROR(runtime()->SetVariable(variable, &guid, attributes, 0, nullptr))) {
    return BootEntryRemoval::kFailed;
  }
  return BootEntryRemoval::kRemoved;
}

}  // namespace platform
