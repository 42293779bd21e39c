// A request that retries may go unanswered for minutes; the person at the
// console is told once, after 10 seconds, how long it may still take.
//
// One notice covers one request with all its tries: a loop that retries
// begins it with the bound of all its tries; a transport that waits long
// within one try checks it. A transfer that finds no notice begun begins
// (and ends) one with its own bound.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class SilenceNotice {
 public:
  void begin(uint32_t boundSeconds) {
    startMicros_ = platform::monotonicMicroseconds();
    boundSeconds_ = boundSeconds;
    said_ = false;
    active_ = true;
  }

  void end() { active_ = false; }
  bool active() const { return active_; }

  // How long a wait may last before it must stop to check (at least 1 ms);
  // `longest` when no notice is due.
  uint64_t millisUntilDue(uint64_t longest) const {
    if (!active_ || said_) return longest;
    const uint64_t due = startMicros_ + kNoticeSeconds * 1000000u;
    const uint64_t now = platform::monotonicMicroseconds();
    const uint64_t millis = now < due ? (due - now + 999) / 1000 : 1;
    return millis < longest ? millis : longest;
  }

  // After a wait or a try that went unanswered: says so once, at 10 seconds
  // or more after begin, unless nothing is left to try (the request's own
  // failure line then says it all).
  void check() {
    if (!active_ || said_) return;
    const uint64_t elapsed = (platform::monotonicMicroseconds() - startMicros_) / 1000000u;
    if (elapsed < kNoticeSeconds) return;
    const uint64_t left = elapsed < boundSeconds_ ? boundSeconds_ - elapsed : 0;
    if (left == 0) return;
    said_ = true;
    platform::print("THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO %u SECONDS\n",
                    static_cast<unsigned>(left));
    platform::flush();
  }

 private:
  static constexpr uint64_t kNoticeSeconds = 10;
  uint64_t startMicros_ = 0;
  uint32_t boundSeconds_ = 0;
  bool said_ = false;
  bool active_ = false;
};
