// Time on the firmware: delays, and the monotonic clock. The clock counts the
// ticks of a periodic timer event, so it follows the firmware's timer
// services and never the real-time clock that GetTime reads (which a time
// zone rule, daylight saving or a setting in the firmware menu may move).
#include "platform/platform.h"
#include "platform/uefi/uefi.h"

namespace {

// 100 ms in 100-ns units: longer than the timer interrupt period of any
// firmware (10 ms is usual), so that every period gets its own firing, and
// fine enough for bounds counted in seconds.
constexpr uint64_t kTickUnits = 1000000;
constexpr uint64_t kMicrosPerTick = kTickUnits / 10;

constinit EFI_EVENT gTickEvent = nullptr;
constinit bool gClockTried = false;
// Written by the notification, read by the program: one aligned 64-bit
// store or load each, which x86-64 never tears.
constinit volatile uint64_t gTicks = 0;
// Without a tick event, the time spent in stall() is all the clock knows;
// a transfer then fails at once, as it cannot make its own timer either.
constinit uint64_t gStalledMicros = 0;

EFIAPI void countTick(EFI_EVENT, void*) { gTicks = gTicks + 1; }

void startClock() {
  gClockTried = true;
  EFI_EVENT event = nullptr;
  EFI_STATUS status = uefi::bootServices()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL,
                                                         TPL_CALLBACK, countTick, nullptr, &event);
  if (EFI_ERROR(status)) return;
  if (EFI_ERROR(uefi::bootServices()->SetTimer(event, TimerPeriodic, kTickUnits))) {
    uefi::bootServices()->CloseEvent(event);
    return;
  }
  gTickEvent = event;
}

}  // namespace

namespace uefi {

void stopClock() {
  // The notification lives in this image: the event must not outlive it.
  if (gTickEvent != nullptr) bootServices()->CloseEvent(gTickEvent);
  gTickEvent = nullptr;
  gClockTried = false;
}

}  // namespace uefi

namespace platform {

void stall(uint64_t microseconds) {
  gStalledMicros += microseconds;
  uefi::bootServices()->Stall(microseconds);
}

uint64_t monotonicMicroseconds() {
  if (!gClockTried) startClock();
  if (gTickEvent == nullptr) return gStalledMicros;
  return gTicks * kMicrosPerTick;
}

}  // namespace platform
