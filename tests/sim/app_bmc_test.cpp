// Get Device ID is what tells a waiting program, or an OS driver, that the
// BMC is there and which firmware it runs.
#include "sim/app_bmc.h"

#include <gtest/gtest.h>

#include "sim/bmc.h"

namespace {

using sim::AppBmc;
using sim::Bytes;

struct Clock {
  uint64_t now = 0;
};

const Bytes kGetDeviceId{0x18, 0x01};
const Bytes kColdReset{0x18, 0x02};

// Firmware revision bytes (major, minor) of a Get Device ID reply, or
// nothing when the BMC stayed silent.
std::optional<std::pair<uint8_t, uint8_t>> revisionOf(sim::Bmc& bmc) {
  std::optional<Bytes> reply = bmc.exchange(kGetDeviceId);
  if (!reply) return std::nullopt;
  EXPECT_EQ(reply->size(), 14u);
  EXPECT_EQ((*reply)[0], 0x1C);
  EXPECT_EQ((*reply)[2], 0x00);
  return std::make_pair((*reply)[5], (*reply)[6]);
}

TEST(AppBmc, RevisionChangesWithAnUpdateAndTheBmcRebootsSilently) {
  struct Case {
    AppBmc::Revision before;
    std::optional<AppBmc::Revision> after;
    std::pair<uint8_t, uint8_t> expected;
  };
  const Case cases[] = {
      {{1, 0x00}, std::nullopt, {1, 0x01}},
      {{2, 0x09}, std::nullopt, {2, 0x10}},
      {{3, 0x99}, std::nullopt, {3, 0x00}},
      {{1, 0x05}, AppBmc::Revision{4, 0x20}, {4, 0x20}},
  };
  for (const Case& c : cases) {
    Clock clock;
    sim::Bmc bmc;
    AppBmc app(bmc, [&clock] { return clock.now; });
    app.knobs.firmware = c.before;
    app.knobs.afterUpdate = c.after;
    app.knobs.rebootMicros = 30'000'000;
    EXPECT_EQ(revisionOf(bmc), std::make_pair(c.before.major, c.before.minor));
    app.updateCompleted();
    clock.now += 29'999'999;
    EXPECT_EQ(revisionOf(bmc), std::nullopt);
    EXPECT_EQ(bmc.exchange({0xF8, 0x17}), std::nullopt);
    clock.now += 1;
    EXPECT_EQ(revisionOf(bmc), c.expected);
  }
}

TEST(AppBmc, ColdResetIsAnsweredThenTheBmcIsSilentForItsRebootTime) {
  Clock clock;
  sim::Bmc bmc;
  AppBmc app(bmc, [&clock] { return clock.now; });
  app.knobs.rebootMicros = 5'000'000;
  ASSERT_TRUE(bmc.exchange(kColdReset));
  EXPECT_EQ(revisionOf(bmc), std::nullopt);
  clock.now = 5'000'000;
  EXPECT_EQ(revisionOf(bmc), std::make_pair(uint8_t{1}, uint8_t{0x00}));
  EXPECT_EQ(app.reboots, 1);
}

TEST(AppBmc, AnswersWhatADriverAsksAtLoad) {
  struct Case {
    Bytes request;
    Bytes reply;
  };
  sim::Bmc bmc;
  AppBmc app(bmc, [] { return uint64_t{0}; });
  const Case cases[] = {
      {{0x18, 0x2E, 0x0D}, {0x1C, 0x2E, 0x00}},
      {{0x18, 0x2F}, {0x1C, 0x2F, 0x00, 0x0D}},
      {{0x18, 0x31}, {0x1C, 0x31, 0x00, 0x00}},
      {{0x18, 0x30, 0xFF}, {0x1C, 0x30, 0x00}},
      {{0x18, 0x35}, {0x1C, 0x35, 0x80}},
      {{0x18, 0x01, 0x00}, {0x1C, 0x01, 0xC7}},
      {{0x18, 0x02, 0x00}, {0x1C, 0x02, 0xC7}},  // no Cold Reset: it takes no data
  };
  for (const Case& c : cases) EXPECT_EQ(bmc.exchange(c.request), c.reply);
  EXPECT_EQ(bmc.coldResets, 0);
  EXPECT_EQ(app.reboots, 0);
  std::optional<Bytes> guid = bmc.exchange({0x18, 0x08});
  ASSERT_TRUE(guid);
  EXPECT_EQ(guid->size(), 19u);
}

TEST(AppBmc, ParsesRevisions) {
  EXPECT_EQ(AppBmc::parseRevision("1.05"), (AppBmc::Revision{1, 0x05}));
  EXPECT_EQ(AppBmc::parseRevision("127.99"), (AppBmc::Revision{127, 0x99}));
  for (const char* bad : {"", "1", "1.5", "1.005", "128.00", "a.00", "1.0x"}) {
    EXPECT_EQ(AppBmc::parseRevision(bad), std::nullopt) << bad;
  }
}

}  // namespace
