#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_fixtures.h"
#include "state/tool_context.h"

namespace {

using imagetest::Bytes;
using imagetest::ImageFile;
using imagetest::Region;

constexpr uint64_t k32MiB = 0x2000000;

std::string table(const std::vector<std::string>& entryTexts) {
  std::string text;
  for (const std::string& entry : entryTexts) text += "[img]: " + entry + "\n";
  return text + "[end]\n";
}

Region tablePage(uint64_t offset) { return {offset, 0x40000, 0x40000}; }

struct Placement {
  uint64_t offset;
  Bytes bytes;
};

Bytes plain(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct ScanCase {
  const char* name;
  uint64_t fileSize;
  std::vector<Placement> contents;
  uint8_t tablePages;
  std::vector<Region> regions;
};

void runCases(const std::vector<ScanCase>& cases) {
  for (const ScanCase& c : cases) {
    ImageFile file(c.fileSize);
    for (const Placement& p : c.contents) file.put(p.offset, p.bytes);
    imagetest::ScanResult scan = imagetest::scanImage(file.path(), c.fileSize);
    EXPECT_EQ(scan.tablePages, c.tablePages) << c.name;
    EXPECT_EQ(scan.regions, c.regions) << c.name;
    EXPECT_FALSE(scan.refused) << c.name;
  }
}

const std::string kThreeEntries = table({"0 10000 0 boot.bin", "10000 12345 0 kernel.bin", "40000 1FFEA 0 out_webfs_img.bin"});
const std::vector<Region> kThreeRegions = {{0, 0x10000, 0x10000}, {0x10000, 0x20000, 0x12345}, {0x40000, 0x20000, 0x20000}};

std::vector<Region> concat(std::vector<Region> a, const std::vector<Region>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RegionList, TablePagesAndTheirRegions) {
  runCases({
      {"table in the first page", 0x10000, {{0, plain(kThreeEntries)}}, 1, concat(kThreeRegions, {tablePage(0)})},
      {"table near the end of 32 MiB", k32MiB, {{0x1FC0000, plain(kThreeEntries)}}, 1,
       concat(kThreeRegions, {tablePage(0x1FC0000)})},
      {"table in the last page of 32 MiB", k32MiB, {{0x1FF8000, plain(kThreeEntries)}}, 1,
       concat(kThreeRegions, {tablePage(0x1FF8000)})},
      {"two tables with the same entries", 0x20000,
       {{0x8000, plain(kThreeEntries)}, {0x18000, imagetest::encipheredTable(kThreeEntries)}}, 2,
       concat(concat(kThreeRegions, {tablePage(0x8000)}), concat(kThreeRegions, {tablePage(0x18000)}))},
      {"table not at a page start", 0x10000, {{0x8100, plain(kThreeEntries)}}, 0, {}},
      {"empty file", 0, {}, 0, {}},
      {"no table", 0x18000, {{0, plain("firmware bytes")}}, 0, {}},
      {"short file with a table", 40, {{0, plain(table({"0 28 0 tiny"}))}}, 1, {{0, 0x10000, 0x28}, tablePage(0)}},
  });
}

TEST(RegionList, MalformedTablePageIsNotCountedAndTheScanGoesOn) {
  runCases({
      {"malformed then good", 0x10000,
       {{0, plain("[img]: 0 100 0 a\n[img]: 5 5 5 b\n")}, {0x8000, plain(table({"0 10 0 c"}))}}, 1,
       {{0, 0x10000, 0x100}, {0, 0x10000, 0x10}, tablePage(0x8000)}},
  });
}

TEST(RegionList, ShortLastPageShowsNoStaleBytes) {
  // The first page has no zero byte, so stale bytes of it would carry its
  // table into the reading of the short second page.
  ImageFile file(0x8000 + 100);
  Bytes first(0x8000, ' ');
  const std::string text = table({"0 100 0 a"});
  std::copy(text.begin(), text.end(), first.begin() + 200);
  file.put(0, first);
  file.put(0x8000, Bytes(100, 'x'));
  imagetest::ScanResult scan = imagetest::scanImage(file.path(), 0x8000 + 100);
  EXPECT_EQ(scan.tablePages, 1);
  EXPECT_EQ(scan.regions, (std::vector<Region>{{0, 0x10000, 0x100}, tablePage(0)}));
}

TEST(RegionList, NothingIsReadAtOrPastTheGivenSize) {
  ImageFile file(k32MiB + 0x8000);
  file.put(k32MiB, plain(kThreeEntries));
  EXPECT_EQ(imagetest::scanImage(file.path(), k32MiB).tablePages, 0);
  EXPECT_EQ(imagetest::scanImage(file.path(), k32MiB + 1).tablePages, 1);
}

TEST(RegionList, ImageThatWouldAddANinthRegionIsRefused) {
  struct Case {
    const char* name;
    std::vector<Placement> contents;
    bool refused;
  };
  const std::string sevenEntries = table({"0 1 0 a", "1 1 0 b", "2 1 0 c", "3 1 0 d", "4 1 0 e", "5 1 0 f", "6 1 0 g"});
  const std::string eightEntries = table({"0 1 0 a", "1 1 0 b", "2 1 0 c", "3 1 0 d", "4 1 0 e", "5 1 0 f", "6 1 0 g", "7 1 0 h"});
  const Case cases[] = {
      {"seven entries and the table page", {{0, plain(sevenEntries)}}, false},
      {"eight entries and the table page", {{0, plain(eightEntries)}}, true},
      {"two tables of four regions and five", {{0, plain(kThreeEntries)}, {0x8000, plain(table({"0 1 0 a", "1 1 0 b", "2 1 0 c", "3 1 0 d"}))}}, true},
      {"refusal stops before later tables", {{0, plain(eightEntries)}, {0x8000, plain(kThreeEntries)}}, true},
  };
  for (const Case& c : cases) {
    ImageFile file(0x10000);
    for (const Placement& p : c.contents) file.put(p.offset, p.bytes);
    imagetest::ScanResult scan = imagetest::scanImage(file.path(), 0x10000);
    EXPECT_EQ(scan.refused, c.refused) << c.name;
    EXPECT_EQ(scan.tablePages, c.refused ? 0 : 1) << c.name;
    EXPECT_EQ(scan.regions.size(), c.refused ? 0u : 8u) << c.name;
    EXPECT_EQ(scan.console, "") << c.name;
  }
}

// A list that held an earlier scan is filled from empty, and only the
// caller's list changes: the run's own list stays as it was.
TEST(RegionList, ScanFillsOnlyItsCallersListFromEmpty) {
  const auto heldBefore = [](bool refused) {
    RegionList list{};
    for (int i = 0; i < kMaxRegions; ++i) appendRegion(&list, 0xAA000 + i, 0x10000, 0x10000);
    list.refused = refused;
    return list;
  };
  const struct {
    const char* name;
    RegionList before;
  } cases[] = {{"empty", RegionList{}}, {"full", heldBefore(false)}, {"refused", heldBefore(true)}};
  clearToolContext();
  appendRegion(&toolContext.regions, 0x1000, 0x10000, 0x100);
  ImageFile file(0x10000);
  file.put(0, plain(kThreeEntries));
  for (const auto& c : cases) {
    RegionList list = c.before;
    imagetest::ScanResult scan = imagetest::scanImage(file.path(), 0x10000, &list);
    EXPECT_EQ(scan.tablePages, 1) << c.name;
    EXPECT_EQ(scan.regions, concat(kThreeRegions, {tablePage(0)})) << c.name;
    EXPECT_FALSE(scan.refused) << c.name;
  }
  EXPECT_EQ(imagetest::listedRegions(toolContext.regions), (std::vector<Region>{{0x1000, 0x10000, 0x100}}));
  EXPECT_FALSE(toolContext.regions.refused);
}

TEST(RegionList, BlockDescriptions) {
  RegionList list{};
  appendRegion(&list, 0x1FC0000, 0x40000, 0x40000);
  appendRegion(&list, 0x123456789, 0x100000000, 0xFFFFFFFF);
  struct Case {
    uint8_t index;
    Bytes bytes;
  };
  const Case cases[] = {
      {0, {0x01, 0xFC, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02}},
      {1, {0x23, 0x45, 0x67, 0x89, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02}},
  };
  for (const Case& c : cases) {
    uint8_t description[kBlockDescriptionLength];
    describeRegion(list, c.index, description);
    EXPECT_EQ(Bytes(description, description + kBlockDescriptionLength), c.bytes) << int(c.index);
  }
}

}  // namespace
