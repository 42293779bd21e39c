// The simulated BMC must catch a program that breaks the chunk protocol;
// otherwise the flow tests that rely on its silence prove nothing.
#include "sim/firmware_bmc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/bmc.h"

namespace {

using sim::Bytes;

Bytes blockInfo(uint32_t offset, uint32_t blockLength, uint32_t length, uint8_t index,
                uint8_t count) {
  Bytes message{0xF8, 0x14};
  for (uint32_t value : {offset, blockLength, length}) {
    for (int shift = 24; shift >= 0; shift -= 8) message.push_back(uint8_t(value >> shift));
  }
  message.push_back(index);
  message.push_back(count);
  return message;
}

Bytes chunk(uint8_t flag, size_t bytes, uint8_t fill = 0x42) {
  Bytes message{0xF8, 0x15, flag};
  message.insert(message.end(), bytes, fill);
  return message;
}

const Bytes kInfo{0xF8, 0x16, 1};
const Bytes kProgress{0xF8, 0x17};

struct ProtocolCase {
  const char* name;
  std::vector<Bytes> requests;
  bool violation;
};

const ProtocolCase kCases[] = {
    {"a well-formed region of 50 bytes",
     {kInfo, blockInfo(0, 0x10000, 50, 0, 1), chunk(0, 49), chunk(1, 1), kProgress},
     false},
    {"a region shorter than one chunk, whole in its last chunk",
     {kInfo, blockInfo(0, 0x10000, 20, 0, 1), chunk(1, 20), kProgress},
     false},
    {"a chunk before any block description", {kInfo, chunk(0, 49)}, true},
    {"a full chunk of 48 bytes", {kInfo, blockInfo(0, 0x10000, 98, 0, 1), chunk(0, 48)}, true},
    {"a last chunk that leaves bytes out",
     {kInfo, blockInfo(0, 0x10000, 98, 0, 1), chunk(0, 49), chunk(1, 48)},
     true},
    {"an empty last chunk after full chunks that used it up",
     {kInfo, blockInfo(0, 0x10000, 98, 0, 1), chunk(0, 49), chunk(0, 49), chunk(1, 0)},
     true},
    {"the first block description with index 1", {kInfo, blockInfo(0, 0x10000, 50, 1, 2)}, true},
    {"a block length not rounded up to 64 KiB", {kInfo, blockInfo(0, 0x8000, 50, 0, 1)}, true},
    {"a new block before the region is complete",
     {kInfo, blockInfo(0, 0x10000, 98, 0, 2), chunk(0, 49), blockInfo(0, 0x10000, 50, 1, 2)},
     true},
    {"progress asked before the last region",
     {kInfo, blockInfo(0, 0x10000, 50, 0, 2), chunk(0, 49), chunk(1, 1), kProgress},
     true},
    {"a block description of 13 bytes",
     {kInfo, Bytes{0xF8, 0x14, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 50, 0, 1}},
     true},
};

TEST(FirmwareBmc, FlagsEveryBreachOfTheChunkProtocol) {
  for (const ProtocolCase& c : kCases) {
    SCOPED_TRACE(c.name);
    sim::Bmc bmc;
    sim::FirmwareBmc firmware(bmc);
    for (const Bytes& request : c.requests) bmc.exchange(request);
    EXPECT_EQ(!firmware.violations.empty(), c.violation);
  }
}

TEST(FirmwareBmc, WritesEachRegionAtItsOffset) {
  sim::Bmc bmc;
  sim::FirmwareBmc firmware(bmc);
  bmc.exchange(kInfo);
  bmc.exchange(blockInfo(0x100, 0x10000, 50, 0, 1));
  bmc.exchange(chunk(0, 49, 0x11));
  bmc.exchange(chunk(1, 1, 0x22));
  ASSERT_TRUE(firmware.violations.empty());
  ASSERT_EQ(firmware.flash.size(), 0x100u + 50);
  EXPECT_EQ(firmware.flash[0xFF], 0xFF);
  EXPECT_EQ(firmware.flash[0x100], 0x11);
  EXPECT_EQ(firmware.flash[0x100 + 49], 0x22);
  EXPECT_TRUE(firmware.updateComplete());
}

TEST(FirmwareBmc, DumpServesFullChunksThenTheRest) {
  sim::Bmc bmc;
  sim::FirmwareBmc firmware(bmc);
  firmware.flash = Bytes(120, 0x33);
  const std::vector<size_t> replyLengths = {3 + 57, 3 + 57, 3 + 9};
  const std::vector<uint8_t> marks = {0, 0, 1};
  for (size_t n = 0; n < replyLengths.size(); ++n) {
    auto reply = bmc.exchange({0xF8, 0x1F});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), replyLengths[n]);
    EXPECT_EQ((*reply)[3], marks[n]);
  }
  // An endless dump goes on past the flash in full chunks, the rest 0xFF.
  firmware.knobs.endlessDump = true;
  firmware.dumpPosition = 112;
  for (int n = 0; n < 2; ++n) {
    auto reply = bmc.exchange({0xF8, 0x1F});
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 3u + 57u);
    EXPECT_EQ((*reply)[3], 0);
    EXPECT_EQ((*reply)[4], n == 0 ? 0x33 : 0xFF);
    EXPECT_EQ(reply->back(), 0xFF);
  }
}

}  // namespace
