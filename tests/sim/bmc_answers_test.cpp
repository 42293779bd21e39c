// A simulated BMC that answers malformed requests, or progress it has not
// made, with success hides the program's faults: every answer is checked
// here against what a BMC must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/app_bmc.h"
#include "sim/bmc.h"
#include "sim/config_bmc.h"
#include "sim/firmware_bmc.h"

namespace {

using sim::Bytes;

struct Clock {
  uint64_t now = 0;
};

struct Bench {
  Clock clock;
  sim::Bmc bmc;
  sim::AppBmc app{bmc, [this] { return clock.now; }};
  sim::FirmwareBmc firmware{bmc};
  sim::ConfigBmc config{bmc};

  // The completion code of the reply, or -1 when there was none.
  int code(const Bytes& request) {
    std::optional<Bytes> reply = bmc.exchange(request);
    return reply && reply->size() >= 3 ? (*reply)[2] : -1;
  }
};

struct CodeCase {
  const char* name;
  Bytes request;
  int code;
};

const CodeCase kCodeCases[] = {
    {"update info without its flag", {0xF8, 0x16}, 0xC7},
    {"update info with two bytes", {0xF8, 0x16, 1, 0}, 0xC7},
    {"update info with preserve flag 5", {0xF8, 0x16, 5}, 0xCC},
    {"update info as the program sends it", {0xF8, 0x16, 1}, 0x00},
    {"progress with data", {0xF8, 0x17, 0}, 0xC7},
    {"progress before any upload", {0xF8, 0x17}, 0xD5},
    {"USB update info without its flag", {0xF8, 0x0D}, 0xC7},
    {"USB update info as the program sends it", {0xF8, 0x0D, 0}, 0x00},
    {"prepare dump with data", {0xF8, 0x1D, 0}, 0xC7},
    {"check dump with data", {0xF8, 0x1E, 0}, 0xC7},
    {"dump data with data", {0xF8, 0x1F, 0}, 0xC7},
    {"configuration task with an unknown operation", {0xF8, 0x20, 0x07}, 0xCC},
    {"device GUID with data", {0x18, 0x08, 0}, 0xC7},
    {"message flags with data", {0x18, 0x31, 0}, 0xC7},
    {"global enables with data", {0x18, 0x2F, 0}, 0xC7},
    {"self test with data", {0x18, 0x04, 0}, 0xC7},
    {"get message from an empty queue", {0x18, 0x33}, 0x80},
    {"send message to no channel", {0x18, 0x34, 0x00, 0x20}, 0xCC},
    {"warm reset", {0x18, 0x03}, 0x00},
    {"watchdog reset before it was set", {0x18, 0x22}, 0x80},
    {"watchdog set with timer use 0", {0x18, 0x24, 0x00, 0x01, 0, 0, 10, 0}, 0xCC},
    {"watchdog set with five bytes", {0x18, 0x24, 0x04, 0x01, 0, 0, 10}, 0xC7},
    {"chassis control 6", {0x00, 0x02, 0x06}, 0xCC},
    {"SDR of an empty repository", {0x28, 0x23, 0, 0, 0, 0, 0, 0xFF}, 0xCB},
    {"SEL entry of an empty log", {0x28, 0x43, 0, 0, 0, 0, 0, 0xFF}, 0xCB},
    {"SEL clear without the reservation", {0x28, 0x47, 9, 0, 'C', 'L', 'R', 0xAA}, 0xC5},
    {"FRU device 1", {0x28, 0x10, 1}, 0xCB},
    {"FRU read past the area", {0x28, 0x11, 0, 0x40, 0, 8}, 0xC9},
};

TEST(BmcAnswers, WrongLengthsAndFieldsGetTheirCodes) {
  for (const CodeCase& c : kCodeCases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    EXPECT_EQ(bench.code(c.request), c.code);
  }
}

Bytes blockInfo(uint32_t length, uint8_t index, uint8_t count) {
  Bytes message{0xF8, 0x14};
  for (uint32_t value : {index * 0x10000u, 0x10000u, length}) {
    for (int shift = 24; shift >= 0; shift -= 8) message.push_back(uint8_t(value >> shift));
  }
  message.push_back(index);
  message.push_back(count);
  return message;
}

Bytes lastChunk(size_t bytes) {
  Bytes message{0xF8, 0x15, 1};
  message.insert(message.end(), bytes, 0x42);
  return message;
}

TEST(BmcAnswers, ProgressIsReportedOnlyAfterEveryRegionArrivedAndWasTaken) {
  struct Case {
    const char* name;
    int regionsSent;
    bool rejectLast;
    int code;
  };
  const Case cases[] = {
      {"no region", 0, false, 0xD5},
      {"one region of two", 1, false, 0xD5},
      {"both regions, the last rejected", 2, true, 0xD5},
      {"both regions", 2, false, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    if (c.rejectLast) bench.firmware.knobs.reject = sim::FirmwareBmc::Rejection{1, 2};
    ASSERT_EQ(bench.code({0xF8, 0x16, 1}), 0);
    for (uint8_t region = 0; region < c.regionsSent; ++region) {
      bench.code(blockInfo(20, region, 2));
      bench.code(lastChunk(20));
    }
    std::optional<Bytes> reply = bench.bmc.exchange({0xF8, 0x17});
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[2], c.code);
    EXPECT_EQ(reply->size(), c.code == 0 ? 4u : 3u);
    EXPECT_EQ(bench.firmware.updateComplete(), c.code == 0);
  }
}

TEST(BmcAnswers, StandardCommandsCarryTheirData) {
  Bench bench;
  EXPECT_EQ(bench.bmc.exchange({0x18, 0x04}), (Bytes{0x1C, 0x04, 0x00, 0x55, 0x00}));
  // Get Device ID announces what is there: chassis, FRU, SEL, SDR repository.
  EXPECT_EQ(bench.bmc.exchange({0x18, 0x01})->at(8), 0x8E);
  // A watchdog set to 10 s, started, read 2.5 s later; then run out.
  EXPECT_EQ(bench.code({0x18, 0x24, 0x04, 0x01, 0x00, 0x10, 100, 0}), 0);
  EXPECT_EQ(bench.code({0x18, 0x22}), 0);
  bench.clock.now = 2'500'000;
  EXPECT_EQ(bench.bmc.exchange({0x18, 0x25}),
            (Bytes{0x1C, 0x25, 0x00, 0x44, 0x01, 0x00, 0x00, 100, 0, 75, 0}));
  bench.clock.now = 10'000'000;
  EXPECT_EQ(bench.bmc.exchange({0x18, 0x25}),
            (Bytes{0x1C, 0x25, 0x00, 0x04, 0x01, 0x00, 0x10, 100, 0, 0, 0}));
  // An event becomes the first SEL entry; a reserved clear empties the log.
  EXPECT_EQ(bench.code({0x10, 0x02, 0x41, 0x04, 0x01, 0x30, 0x6F, 0x01, 0xFF, 0xFF}), 0);
  std::optional<Bytes> entry = bench.bmc.exchange({0x28, 0x43, 0, 0, 0, 0, 0, 0xFF});
  ASSERT_TRUE(entry);
  EXPECT_EQ(*entry, (Bytes{0x2C, 0x43, 0x00, 0xFF, 0xFF, 0x01, 0x00, 0x02, 10, 0, 0, 0, 0x41,
                           0x00, 0x04, 0x01, 0x30, 0x6F, 0x01, 0xFF, 0xFF}));
  EXPECT_EQ(bench.bmc.exchange({0x28, 0x40})->at(4), 1);  // one entry
  EXPECT_EQ(bench.bmc.exchange({0x28, 0x42}), (Bytes{0x2C, 0x42, 0x00, 0x01, 0x00}));
  EXPECT_EQ(bench.bmc.exchange({0x28, 0x47, 1, 0, 'C', 'L', 'R', 0xAA}),
            (Bytes{0x2C, 0x47, 0x00, 0x01}));
  EXPECT_TRUE(bench.app.storage.sel.empty());
  // The FRU area holds a common header whose bytes add up to zero.
  EXPECT_EQ(bench.bmc.exchange({0x28, 0x11, 0, 0, 0, 8}),
            (Bytes{0x2C, 0x11, 0x00, 8, 0x01, 0, 0, 0, 0, 0, 0, 0xFF}));
}

TEST(BmcAnswers, DeviceBusyBitForTheFirstAnswers) {
  Bench bench;
  bench.app.knobs.firmware = {3, 0x25};
  bench.app.knobs.busyAnswers = 2;
  std::vector<uint8_t> revisionBytes;
  for (int n = 0; n < 3; ++n) revisionBytes.push_back(bench.bmc.exchange({0x18, 0x01})->at(5));
  EXPECT_EQ(revisionBytes, (std::vector<uint8_t>{0x83, 0x83, 0x03}));
}

TEST(BmcAnswers, ForeignReplyHeaderForAsManyAnswersAsAsked) {
  Bench bench;
  bench.bmc.faults.foreignReply[sim::commandKey(0x18, 0x01)] = {0x00, 0x01, 1};
  std::optional<Bytes> first = bench.bmc.exchange({0x18, 0x01});
  std::optional<Bytes> second = bench.bmc.exchange({0x18, 0x01});
  ASSERT_TRUE(first && second);
  EXPECT_EQ(Bytes(first->begin(), first->begin() + 3), (Bytes{0x04, 0x01, 0x00}));
  EXPECT_EQ(Bytes(second->begin(), second->begin() + 3), (Bytes{0x1C, 0x01, 0x00}));
  EXPECT_EQ(Bytes(first->begin() + 3, first->end()), Bytes(second->begin() + 3, second->end()));
}

}  // namespace
