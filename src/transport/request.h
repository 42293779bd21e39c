// Requests that are asked again: how often, how far apart, for how long,
// and the notice to the person at the console while the BMC says nothing.
// Every loop that repeats a request to the BMC runs on a RetryPolicy here,
// so that a transport with other timings changes them in one place.
#pragma once

#include <cstdint>

#include "transport/ipmi_wire.h"

namespace request {

// What any transport carries: the IPMI message sizes the flows plan with.
constexpr int32_t kMaxRequestData = 62;
constexpr int32_t kMaxResponseData = 125;

// How the unanswered-request notice (toolContext.silence) follows a request.
enum class Notice : uint8_t {
  kNone,         // each transfer's own notice suffices
  kWhileSilent,  // begun with the bound of all tries left; any answer ends it
  kWholeWait,    // begun once with the whole bound; only the end ends it
};

struct RetryPolicy {
  uint32_t attempts;      // tries in all; 0 when the bound ends the request
  uint64_t pauseMicros;   // between two tries
  uint32_t boundSeconds;  // without attempts: seconds from the request's start
  bool pauseWithinBound;  // a pause never runs past the bound
  bool (*noAnswer)(int result);  // the results that count as silence
  Notice notice;
};

// The bound of `tries` tries of the bound transport, each followed by a
// pause of `pauseSeconds`.
uint32_t triesBoundSeconds(uint64_t tries, uint64_t pauseSeconds);

// One request under a policy: the caller makes each try, this counts them,
// keeps the bound, pauses and keeps the notice. The notice ends with the
// object, or earlier with finish().
class Retrying {
 public:
  // The bound counts from now, or from startMicros on the monotonic clock.
  explicit Retrying(const RetryPolicy& policy);
  Retrying(const RetryPolicy& policy, uint64_t startMicros);
  ~Retrying() { finish(); }
  Retrying(const Retrying&) = delete;
  Retrying& operator=(const Retrying&) = delete;

  // Before each try.
  void beforeTry();
  // After each try: true when another may follow (the caller wants one,
  // attempts are left and the bound has not passed). The notice hears
  // whether the BMC answered; after the last try there is nothing to say.
  bool afterTry(bool answered, bool wanted = true);
  bool afterResult(int result, bool wanted = true) {
    return afterTry(!policy_.noAnswer(result), wanted);
  }
  void pause();
  bool boundPassed() const;
  uint32_t tries() const { return tries_; }
  void finish();

 private:
  uint32_t noticeBoundSeconds() const;
  uint64_t elapsedSeconds() const;

  const RetryPolicy policy_;
  uint64_t startMicros_;
  uint32_t tries_ = 0;
  bool ownNotice_ = false;
};

}  // namespace request
