// Services the portable core needs from the machine it runs on. Exactly one
// implementation is linked: platform/uefi for Velkoran.efi, platform/host for
// tests and tools (build/host/velkoran-sim), platform/linux for
// build/host/velkoran, the program for Linux servers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- Console -------------------------------------------------------------
// printf-like output limited to the conversions the program uses:
// %s %c %d %u %x %ld %lu %lx, an optional field width, and %%.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void flush();
// Blocks until a key is typed; returns its character code.
int readKey();

// ---- Files ---------------------------------------------------------------
struct File;  // a buffered stream; opaque to the core

// Modes "r", "rb", "wb", "wb+", "wbx", "wbx+". "wb"/"wb+" empty an existing
// file; "wbx"/"wbx+" make a new one that only its owner may read, and fail
// where anything (a link included) has the name, on a platform that has
// links. Reading opens only regular files, without waiting for a writer.
// Returns nullptr on failure; a folder is never opened, in any mode.
File* fileOpen(const char* name, const char* mode);
// 0 on success, -1 on failure.
int fileSeek(File* file, int64_t position);
int fileSeekEnd(File* file);
// Current position, negative on failure.
int64_t fileTell(File* file);
// Number of bytes read (0 at end of file or on error).
size_t fileRead(File* file, void* buffer, size_t count);
// Reads until count bytes are in or a read gives nothing (the end of the
// file, or an error): a file system may answer a read in pieces.
inline size_t fileReadFully(File* file, void* buffer, size_t count) {
  size_t held = 0;
  while (held < count) {
    const size_t got = fileRead(file, static_cast<uint8_t*>(buffer) + held, count - held);
    if (got == 0) break;
    held += got;
  }
  return held;
}
// Next byte 0..255, or -1 at end of file.
int fileGetByte(File* file);
// Reads one whitespace-separated token like scanf("%s"), cut to
// capacity - 1 characters (the rest of an overlong token is consumed).
// Returns true when a token was read; false leaves the buffer untouched.
bool fileReadToken(File* file, char* buffer, size_t capacity);
// True once a read has hit the end of the file.
bool fileAtEnd(File* file);
// Number of bytes written (short on failure).
size_t fileWrite(File* file, const void* buffer, size_t count);
// 0 on success, -1 on failure.
int filePutByte(File* file, uint8_t byte);
// Writes out buffered data and releases the stream; -1 if writing failed.
int fileClose(File* file);
// True when name names an existing folder.
bool fileIsFolder(const char* name);
// True when an output may take the place of whatever has this name: nothing,
// a file, a link to a file or a FIFO; never a folder, a device (a dump run
// as root must not turn /dev/null into a file) or a link to something else
// (/dev/stdout).
bool fileIsReplaceable(const char* name);
// Puts the closed file `from` in the place of `to`, both in the same folder:
// a file named `to` is removed first, a folder refuses. 0 on success, -1 on
// failure (then `from` has kept its name and `to` its content, unless the
// removal went through and only the renaming failed).
int fileReplace(const char* from, const char* to);
// Hands the stream's buffered data to the file system; -1 if this or any
// earlier write of the stream failed.
int fileFlush(File* file);
// True when the two names lead to one file: the same file where both exist,
// else the same name in the same folder (the file one of them would create).
bool sameFile(const char* a, const char* b);
// True for a character that ends a folder's name within a path.
bool isPathSeparator(char c);
// Removes the file `name` (a link itself, never a folder, never a new file
// that another live run of the program is writing); 0 when it went.
int fileRemove(const char* name);

// ---- Memory --------------------------------------------------------------
void* allocate(size_t size);  // nullptr on failure
void release(void* block);

// ---- Machine -----------------------------------------------------------
// Whether a run may end by restarting or powering off the machine (where it
// may not, --reboot and --poweroff are refused before anything is sent).
bool machineEndAllowed();
// Restarts (powerOff false) or powers off the machine; called once every
// file of the run is closed. Returns only where that did not happen.
void endMachine(bool powerOff);

// What removing the boot entry that started the program came to.
enum class BootEntryRemoval : uint8_t {
  kRemoved,         // out of the boot order, its variable deleted
  kNoEntry,         // no boot entry started the program (or it is gone)
  kNotThisProgram,  // the entry names no file, or another (a disk's default loader)
  kFailed,          // the firmware refused to change its variables
};
// Whether the program can remove the boot entry that started it (--once):
// only where the boot manager started it, not from a shell.
bool bootEntryRemovable();
// Takes the boot entry that started the program out of the boot order and
// deletes it, so that it does not run again; name receives the entry's
// variable name ("Boot0100"), empty when there is none.
BootEntryRemoval removeStartingBootEntry(char* name, size_t capacity);

// ---- Time ----------------------------------------------------------------
void stall(uint64_t microseconds);
// A wait of a second or more ends early once a stop is requested (below).
inline void delaySeconds(uint64_t seconds) { stall(seconds * 1000000u); }

// ---- Stopping ------------------------------------------------------------
// The signal that asked the run to stop (Linux: SIGINT, SIGTERM, SIGHUP and
// the like), 0 for none; a platform without signals never has one. Waits
// and loops end early once it is set.
int stopSignal();
inline bool stopRequested() { return stopSignal() != 0; }
// Its name ("SIGTERM"); nullptr when there is none.
const char* stopSignalName();

// A one-shot timer, as the firmware's timer events provide it.
using Timer = void*;
constexpr uint64_t kTimerUnitsPerSecond = 10000000u;  // 100 ns units
// All return 0 on success, -1 on failure. Arming starts the timer afresh:
// an earlier firing that nobody asked about is dropped with the old
// setting. timerFired reports a firing once; a cancel does not undo a
// firing that came before it.
int timerCreate(Timer* timer);
int timerArm(Timer timer, uint64_t units100ns);
int timerCancel(Timer timer);
bool timerFired(Timer timer);
void timerClose(Timer timer);

// Microseconds from a fixed point at or before the first call, on a clock
// that moves only forward and at the pace of real time, whatever happens to
// the wall clock (time zone rules, daylight saving, a clock set by hand or
// by the network). Every duration and bound is measured on it; the local
// time below only stamps records.
uint64_t monotonicMicroseconds();

// ---- Run records -------------------------------------------------------
struct CalendarTime {
  uint16_t year;
  uint8_t month;  // 1..12
  uint8_t day;    // 1..31
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};
// The machine's local date and time; false when it cannot be read.
bool localTime(CalendarTime* now);
// The date and time in UTC; false when the clock cannot be read.
// *zoneKnown is false when the clock does not say how it relates to UTC
// (the time is then the clock's own, taken as it stands).
bool universalTime(CalendarTime* now, bool* zoneKnown);

// A file that only grows. Each write has reached the storage when it
// returns, so that a power loss keeps every whole write made before it.
struct AppendFile;
// Opens the file for appending, creating it if missing; nullptr on failure.
AppendFile* appendFileOpen(const char* name);
// False when not every byte could be written.
bool appendFileWrite(AppendFile* file, const char* text, size_t length);
void appendFileClose(AppendFile* file);

// Every piece of console text, as printed, also goes to the tap while one is
// set (nullptr: none). Each platform's print() calls tapConsole().
using ConsoleTap = void (*)(const char* text, size_t length);
void setConsoleTap(ConsoleTap tap);
void tapConsole(const char* text, size_t length);
// A line the platform writes outside the console (Linux: on stderr), such as
// why the BMC cannot be reached, goes to this tap too (one line, no newline):
// the run report keeps it with the run's errors.
void setDiagnosticTap(ConsoleTap tap);
void tapDiagnostic(const char* text, size_t length);

// ---- I/O ports -----------------------------------------------------------
uint8_t portRead(uint16_t port);
void portWrite(uint16_t port, uint8_t value);

}  // namespace platform
