// The retry engine: attempts, pauses, bounds, what counts as silence and
// the notice said at most once per silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "sim/rig.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace {

using request::Notice;
using request::RetryPolicy;

constexpr uint64_t kSecond = 1'000'000;
constexpr int kSilent = -1;

std::string notice(unsigned seconds) {
  return "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO " +
         std::to_string(seconds) + " SECONDS\n";
}

bool onlyTimeout(int result) { return (result & 0xFF) == kCodeTimeout; }

struct Case {
  const char* name;
  RetryPolicy policy;
  std::vector<int> results;  // one per try; the last repeats
  uint64_t secondsPerTry;    // how long the BMC takes to answer (or not)
  int tries;
  uint64_t pausedSeconds;
  std::string console;
};

const Case kCases[] = {
    {"attempts end it", {3, kSecond, 0, false, isNoAnswer, Notice::kNone}, {0xC1}, 0, 3, 2, ""},
    {"an accepted answer ends it", {5, kSecond, 0, false, isNoAnswer, Notice::kNone},
     {0xC1, 0xC0, 0}, 0, 3, 2, ""},
    {"the bound ends it", {0, 5 * kSecond, 30, false, isNoAnswer, Notice::kNone}, {0xC1}, 0, 7,
     30, ""},
    {"a pause may run past the bound", {0, 5 * kSecond, 12, false, isNoAnswer, Notice::kNone},
     {0xC1}, 0, 4, 15, ""},
    {"a pause kept within the bound", {0, 5 * kSecond, 12, true, isNoAnswer, Notice::kNone},
     {0xC1}, 0, 4, 12, ""},
    {"said once, with the tries left", {5, 2 * kSecond, 0, false, isNoAnswer,
     Notice::kWhileSilent}, {kSilent}, 10, 5, 8, notice(30)},
    {"an answer ends the silence", {6, 0, 0, false, isNoAnswer, Notice::kWhileSilent},
     {kSilent, 0xC1, kSilent}, 6, 6, 0, notice(12)},
    {"only the set counts as silence", {6, 0, 0, false, onlyTimeout, Notice::kWhileSilent},
     {kSilent, kCodeTimeout}, 6, 6, 0, notice(18)},
    {"nothing said after the last try", {1, 0, 0, false, isNoAnswer, Notice::kWhileSilent},
     {kSilent}, 12, 1, 0, ""},
    {"the whole wait counts", {0, kSecond, 30, false, isNoAnswer, Notice::kWholeWait},
     {0xC1, kSilent}, 0, 31, 30, notice(20)},
    {"no notice without silence", {0, kSecond, 30, false, isNoAnswer, Notice::kWholeWait},
     {0xC1}, 0, 31, 30, ""},
    {"no notice asked for", {5, 0, 0, false, isNoAnswer, Notice::kNone}, {kSilent}, 10, 5, 0,
     ""},
};

class RetryingTest : public ::testing::TestWithParam<Case> {};

TEST_P(RetryingTest, TriesPausesAndNotice) {
  const Case& c = GetParam();
  sim::Rig rig;
  toolContext.transferBoundSeconds = 6;
  int tries = 0;
  {
    request::Retrying retry(c.policy);
    for (;;) {
      retry.beforeTry();
      hostplatform::advanceClock(c.secondsPerTry * kSecond);
      const int result = c.results[std::min<size_t>(tries, c.results.size() - 1)];
      ++tries;
      if (!retry.afterResult(result, result != 0)) break;
      retry.pause();
    }
    EXPECT_EQ(retry.tries(), static_cast<uint32_t>(tries));
  }
  EXPECT_EQ(tries, c.tries);
  EXPECT_EQ(hostplatform::stalledMicros(), c.pausedSeconds * kSecond);
  EXPECT_EQ(rig.console, c.console);
  EXPECT_FALSE(toolContext.silence.active()) << "the notice ends with the request";
}

INSTANTIATE_TEST_SUITE_P(Policies, RetryingTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

// A notice begun by an enclosing wait is left to it.
TEST(Retrying, LeavesAnEnclosingNoticeOpen) {
  sim::Rig rig;
  toolContext.silence.begin(100);
  {
    request::Retrying retry({2, 0, 0, false, isNoAnswer, Notice::kWhileSilent});
    retry.beforeTry();
    retry.afterResult(0);
  }
  EXPECT_TRUE(toolContext.silence.active());
  toolContext.silence.end();
}

}  // namespace
