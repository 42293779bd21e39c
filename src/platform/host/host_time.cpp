// The test host's clocks: the virtual one, and a fake local time for tests.
#include "platform/host/host_time.h"

#include <optional>

#include "platform/calendar.h"
#include "platform/host/host.h"
#include "platform/posix/posix.h"

namespace hostplatform {
namespace {

struct FakeTime {
  int64_t startSeconds;
  uint64_t startMicros;
};

std::optional<FakeTime>& fakeTime() {
  static std::optional<FakeTime> instance;
  return instance;
}

}  // namespace

void setFakeLocalTime(const platform::CalendarTime* start) {
  if (start == nullptr) {
    fakeTime().reset();
  } else {
    fakeTime() = FakeTime{calendar::toSeconds(*start), nowMicros()};
  }
}

}  // namespace hostplatform

namespace platform {

uint64_t monotonicMicroseconds() { return hostplatform::nowMicros(); }

bool localTime(CalendarTime* now) {
  if (const auto& fake = hostplatform::fakeTime()) {
    const uint64_t passed = hostplatform::nowMicros() - fake->startMicros;
    *now = calendar::fromSeconds(fake->startSeconds + static_cast<int64_t>(passed / 1000000));
    return true;
  }
  return posixplatform::systemLocalTime(now);
}

bool universalTime(CalendarTime* now, bool* zoneKnown) {
  *zoneKnown = true;
  // The fake clock of tests stands for UTC as well.
  if (hostplatform::fakeTime()) return localTime(now);
  return posixplatform::systemUniversalTime(now);
}

}  // namespace platform
