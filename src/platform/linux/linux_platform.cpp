// The platform of the Linux build: console on stdout, real delays and
// monotonic timers, and the KCS ports through the kernel's port access
// (granted by ioperm before the first transfer). Files, calendar time and
// signal names come from the POSIX layer (platform/posix).
#include <sys/io.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/format.h"
#include "platform/linux/linux_transport.h"
#include "platform/platform.h"
#include "platform/posix/file_system.h"
#include "platform/posix/posix.h"

namespace {

timespec monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

uint64_t monotonicMicros() {
  const timespec now = monotonicNow();
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void sleepFor(uint64_t microseconds);

}  // namespace

// The real files, as they are.
posixplatform::FileSystem& posixplatform::platformFileSystem() { return stdioFileSystem(); }

namespace {

struct LinuxTimer {
  bool armed = false;
  uint64_t deadlineMicros = 0;
};

}  // namespace

namespace platform {

void print(const char* format, ...) {
  char small[1024];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const size_t length = formatTextV(small, sizeof small, format, args);
  if (length < sizeof small) {
    tapConsole(small, length);
    std::fwrite(small, 1, length, stdout);
  } else if (char* large = static_cast<char*>(std::malloc(length + 1))) {
    formatTextV(large, length + 1, format, again);
    tapConsole(large, length);
    std::fwrite(large, 1, length, stdout);
    std::free(large);
  }
  va_end(again);
  va_end(args);
}

void flush() { std::fflush(stdout); }

// A signal wakes the wait for the key: the run ends there, not with the
// job the key would have started.
int readKey() {
  std::fflush(stdout);
  const int key = std::getchar();
  linuxplatform::endRunIfStopped();
  return key;
}

void* allocate(size_t size) { return size == 0 ? nullptr : std::malloc(size); }

void release(void* block) { std::free(block); }

// A running system restarts through its own shutdown (services stopped,
// file systems unmounted), which this program must not cut short: a script
// runs `systemctl reboot` after it instead.
bool machineEndAllowed() { return false; }
void endMachine(bool) {}

// No boot entry starts a program of a running system.
bool bootEntryRemovable() { return false; }
BootEntryRemoval removeStartingBootEntry(char* name, size_t capacity) {
  if (capacity > 0) name[0] = '\0';
  return BootEntryRemoval::kNoEntry;
}

uint64_t monotonicMicroseconds() { return monotonicMicros(); }

bool localTime(CalendarTime* now) { return posixplatform::systemLocalTime(now); }

bool universalTime(CalendarTime* now, bool* zoneKnown) {
  *zoneKnown = true;
  return posixplatform::systemUniversalTime(now);
}

int stopSignal() { return linuxplatform::pendingInterrupt(); }
const char* stopSignalName() { return posixplatform::signalName(stopSignal()); }

// Sleeps the whole time even when signals wake it early; a wait of a second
// or more is cut into short ones and ends at a stop (the run ends there,
// unless an update must first send its cold reset).
void stall(uint64_t microseconds) {
  constexpr uint64_t kSliceMicros = 100000;
  if (microseconds >= 1000000u) {
    const uint64_t until = monotonicMicros() + microseconds;
    for (uint64_t now = monotonicMicros(); now < until; now = monotonicMicros()) {
      linuxplatform::endRunIfStopped();
      if (stopRequested()) return;
      sleepFor(until - now < kSliceMicros ? until - now : kSliceMicros);
    }
    return;
  }
  sleepFor(microseconds);
}

}  // namespace platform

namespace {

void sleepFor(uint64_t microseconds) {
  timespec until = monotonicNow();
  until.tv_sec += static_cast<time_t>(microseconds / 1000000u);
  until.tv_nsec += static_cast<long>(microseconds % 1000000u) * 1000;
  if (until.tv_nsec >= 1000000000) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

namespace platform {

int timerCreate(Timer* timer) {
  *timer = new LinuxTimer;
  return 0;
}

int timerArm(Timer timer, uint64_t units100ns) {
  auto* t = static_cast<LinuxTimer*>(timer);
  t->armed = true;
  t->deadlineMicros = monotonicMicros() + units100ns / 10;
  return 0;
}

int timerCancel(Timer timer) {
  static_cast<LinuxTimer*>(timer)->armed = false;
  return 0;
}

bool timerFired(Timer timer) {
  const auto* t = static_cast<LinuxTimer*>(timer);
  return t->armed && monotonicMicros() >= t->deadlineMicros;
}

void timerClose(Timer timer) { delete static_cast<LinuxTimer*>(timer); }

uint8_t portRead(uint16_t port) { return inb(port); }

void portWrite(uint16_t port, uint8_t value) { outb(value, port); }

}  // namespace platform
