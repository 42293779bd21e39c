#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "image_fixtures.h"

namespace {

using imagetest::Bytes;
using imagetest::pageWithText;
using imagetest::Region;

const std::string kFormatError = "find_respective_image_info() : image format err!!\n";

struct TableCase {
  const char* name;
  Bytes page;
  int result;
  std::vector<Region> regions;
  std::string console;
};

Bytes encipheredPage(const std::string& text, const std::string& plainAfter = "") {
  Bytes page = imagetest::encipheredTable(text);
  page.resize(kPageSize, 0);
  std::copy(plainAfter.begin(), plainAfter.end(), page.begin() + 256);
  return page;
}

Bytes markerAfterZero() {
  Bytes page = pageWithText("no table here");
  const std::string table = "[img]: 0 10000 0 a\n[end]";
  std::copy(table.begin(), table.end(), page.begin() + 100);
  return page;
}

std::string entries(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "[img]: " + std::to_string(i) + "0000 100 0 p" + std::to_string(i) + "\n";
  return text + "[end]\n";
}

std::vector<Region> entryRegions(int count) {
  std::vector<Region> regions;
  for (int i = 0; i < count; ++i) regions.push_back({uint64_t(i) * 0x10000, 0x10000, 0x100});
  return regions;
}

void runCases(const std::vector<TableCase>& cases) {
  for (const TableCase& c : cases) {
    imagetest::ReadResult read = imagetest::readTable(c.page);
    EXPECT_EQ(read.result, c.result) << c.name;
    EXPECT_EQ(read.regions, c.regions) << c.name;
    EXPECT_EQ(read.console, c.console) << c.name;
  }
}

TEST(ImageTable, SizesRoundingAndTheWebfsAdjustment) {
  runCases({
      {"one entry", pageWithText("[img]: 0 10000 0 part_a.bin\n[end]"), 1, {{0, 0x10000, 0x10000}}, ""},
      {"rounded up", pageWithText("[img]: 8000 12345 0 a\n[end]"), 1, {{0x8000, 0x20000, 0x12345}}, ""},
      {"zero size", pageWithText("[img]: 0 0 0 a\n[end]"), 1, {{0, 0, 0}}, ""},
      {"webfs to a whole block", pageWithText("[img]: 0 1FFEA 0 out_webfs_img.bin\n[end]"), 1,
       {{0, 0x20000, 0x20000}}, ""},
      {"webfs one past", pageWithText("[img]: 0 1FFEB 0 out_webfs_img.bin\n[end]"), 1,
       {{0, 0x30000, 0x20001}}, ""},
      {"webfs with suffix", pageWithText("[img]: 0 10 0 out_webfs_img.bin.old\n[end]"), 1,
       {{0, 0x10000, 0x26}}, ""},
      {"webfs shortened", pageWithText("[img]: 0 10 0 out_webfs_img.bi\n[end]"), 1,
       {{0, 0x10000, 0x10}}, ""},
      {"prefix and sign as scanf", pageWithText("[img]: 0X40000 +0x100 -1 a\n[end]"), 1,
       {{0x40000, 0x10000, 0x100}}, ""},
      {"largest size wraps", pageWithText("[img]: 0 ffffffffffffffff 0 a\n[end]"), 1,
       {{0, 0, 0xffffffffffffffff}}, ""},
  });
}

TEST(ImageTable, MarkersAndTheirSearchOrder) {
  runCases({
      {"two entries", pageWithText(entries(2)), 1, entryRegions(2), ""},
      {"two entries without end marker", pageWithText("[img]: 0 100 0 a\n[img]: 10000 100 0 b\n"), 0,
       entryRegions(1), kFormatError},
      {"entry marker after an end marker",
       pageWithText("[img]: 0 100 0 a\n[end]\n[img]: 10000 100 0 b\n[end]\n"), 1, entryRegions(2), ""},
      {"text before the first marker ignored", pageWithText("header 1 2 3\n[img]: 0 100 0 a [end]"), 1,
       entryRegions(1), ""},
      {"marker without its space", pageWithText("[img]:0 100 0 a\n[end]"), 0, {}, ""},
      {"marker only after the first zero byte", markerAfterZero(), 0, {}, ""},
      {"name runs into the end marker", pageWithText("[img]: 0 100 0 a[end]"), 1, entryRegions(1), ""},
  });
}

TEST(ImageTable, MalformedEntriesAreFormatErrors) {
  runCases({
      {"no fields", pageWithText("[img]: [end]"), 0, {}, kFormatError},
      {"no name", pageWithText("[img]: 0 100 0\n[end]"), 0, {}, kFormatError},
      {"not a number", pageWithText("[img]: 0 size 0 a\n[end]"), 0, {}, kFormatError},
      {"second entry malformed", pageWithText("[img]: 0 100 0 a\n[img]: 1 2\n[end]"), 0, entryRegions(1),
       kFormatError},
      {"long name is cut, entry kept", pageWithText("[img]: 0 100 0 " + std::string(500, 'n') + "\n[end]"), 1,
       entryRegions(1), ""},
  });
}

TEST(ImageTable, EncipheredTables) {
  runCases({
      {"enciphered one entry", encipheredPage("[img]: 0 10000 0 part_a.bin\n[end]"), 1,
       {{0, 0x10000, 0x10000}}, ""},
      {"enciphered two entries", encipheredPage(entries(2)), 1, entryRegions(2), ""},
      {"enciphered without marker", encipheredPage("just text"), 0, {}, ""},
      {"enciphered and unterminated", encipheredPage("[img]: 0 100 0 a\n"), 0, {}, kFormatError},
      {"enciphered text filling all 192 bytes",
       encipheredPage("[img]: 0 100 0 a" + std::string(171, ' ') + "[end]"), 1, entryRegions(1), ""},
      {"zero page", Bytes(kPageSize, 0), 0, {}, ""},
  });
}

TEST(ImageTable, PlainTableWinsOverEnciphered) {
  // Vary the ignored text before the table until the enciphered bytes hold
  // no zero, so that the plain text runs on into the plain table after them.
  Bytes page;
  for (int variant = 0; page.empty() || std::find(page.begin(), page.begin() + 192, 0) != page.begin() + 192;
       ++variant) {
    page = encipheredPage("v" + std::to_string(variant) + " " + entries(2));
  }
  EXPECT_EQ(imagetest::readTable(Bytes(page.begin(), page.begin() + 192)).regions, entryRegions(2));

  const std::string plain = "[img]: 30000 100 0 c\n[end]";
  std::copy(plain.begin(), plain.end(), page.begin() + 192);
  imagetest::ReadResult read = imagetest::readTable(page);
  EXPECT_EQ(read.result, 1);
  EXPECT_EQ(read.regions, (std::vector<Region>{{0x30000, 0x10000, 0x100}}));
}

TEST(ImageTable, ReadsOnlyTheBytesThePageHolds) {
  // Each page is exactly as long as its bytes, so ASan catches any read past.
  const std::string table = "[img]: 0 100 0 a\n[end]";
  const Bytes full = imagetest::encipheredTable(table);
  runCases({
      {"empty page", Bytes(), 0, {}, ""},
      {"plain table cut short", Bytes(table.begin(), table.end() - 3), 0, {}, kFormatError},
      {"plain table to the last byte", Bytes(table.begin(), table.end()), 1, entryRegions(1), ""},
      {"enciphered, two whole blocks held", Bytes(full.begin(), full.begin() + 40), 1, entryRegions(1), ""},
      {"enciphered, one whole block held", Bytes(full.begin(), full.begin() + 31), 0, {}, kFormatError},
      {"enciphered, under one block", Bytes(full.begin(), full.begin() + 15), 0, {}, ""},
      {"table only after the first 32 KiB",
       [] {
         Bytes twoPages(2 * kPageSize, ' ');
         const std::string t = "[img]: 0 100 0 a\n[end]";
         std::copy(t.begin(), t.end(), twoPages.begin() + kPageSize + 8);
         return twoPages;
       }(),
       0, {}, ""},
      {"plain text without any zero byte",
       [] {
         Bytes page(kPageSize, ' ');
         const std::string t = "[img]: 0 100 0 a\n";
         std::copy(t.begin(), t.end(), page.begin());
         const std::string end = "[end]";
         std::copy(end.begin(), end.end(), page.end() - 5);
         return page;
       }(),
       1, entryRegions(1), ""},
  });
}

TEST(ImageTable, NinthRegionRefusesWithoutWritingPastTheList) {
  imagetest::ReadResult eight = imagetest::readTable(pageWithText(entries(8)));
  EXPECT_EQ(eight.result, 1);
  EXPECT_EQ(eight.regions, entryRegions(8));
  EXPECT_FALSE(eight.refused);

  imagetest::ReadResult nine = imagetest::readTable(pageWithText(entries(9)));
  EXPECT_EQ(nine.result, 0);
  EXPECT_EQ(nine.regions, entryRegions(8));
  EXPECT_EQ(nine.console, "");
  EXPECT_TRUE(nine.refused);
}

}  // namespace

namespace {

// The fast text search against the plain rule: the table counts when its
// marker lies before the first zero byte, wherever the 32-byte strides fall.
TEST(ImageTable, PlainSearchAgreesWithTheRuleAtEveryAlignment) {
  const std::string table = "[img]: 0 100 0 a\n[end]";
  const std::string filler = "[imgx:";  // can never form a marker by itself
  std::mt19937 random(11);
  for (int round = 0; round < 3000; ++round) {
    const size_t length = round % 3 == 0 ? kPageSize : 1 + random() % 200;
    Bytes page(length);
    for (uint8_t& byte : page) byte = static_cast<uint8_t>(filler[random() % filler.size()]);
    const size_t tableAt = random() % length;
    for (size_t i = 0; i < table.size() && tableAt + i < length; ++i) page[tableAt + i] = table[i];
    const size_t zeroAt = random() % (length + 40);
    if (zeroAt < length) page[zeroAt] = 0;

    const size_t textEnd = std::min(zeroAt, length);
    const bool markerInText = tableAt + 7 <= textEnd;
    const bool tableInText = tableAt + table.size() <= textEnd;
    imagetest::ReadResult read = imagetest::readTable(page);
    ASSERT_EQ(read.result, tableInText ? 1 : 0) << "round " << round;
    ASSERT_EQ(read.console, markerInText && !tableInText ? kFormatError : "") << "round " << round;
  }
}

}  // namespace
