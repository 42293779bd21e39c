#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "image/entry_fields.h"

namespace {

struct Scanned {
  int count;
  unsigned long offset, size, unused;
  std::string name;
};

Scanned scanOurs(const std::string& text) {
  EntryFields fields{7, 7, 7, "untouched"};
  int count = scanEntryFields(text.data(), text.size(), &fields);
  return {count, fields.offset, fields.size, fields.unused, fields.name};
}

// The C library's reading, for texts whose name fits the buffer.
Scanned scanLibc(const std::string& text) {
  unsigned long offset = 7, size = 7, unused = 7;
  char name[128] = "";
  int count = std::sscanf(text.c_str(), "%lx %lx %lx %127s", &offset, &size, &unused, name);
  if (count < 0) count = 0;
  return {count, offset, size, unused, count == 4 ? name : ""};
}

void expectSame(const Scanned& ours, const Scanned& libc, const std::string& text) {
  ASSERT_EQ(ours.count, libc.count) << '"' << text << '"';
  const unsigned long oursNumbers[] = {ours.offset, ours.size, ours.unused};
  const unsigned long libcNumbers[] = {libc.offset, libc.size, libc.unused};
  for (int i = 0; i < ours.count && i < 3; ++i) {
    EXPECT_EQ(oursNumbers[i], libcNumbers[i]) << "field " << i << " of " << text;
  }
  EXPECT_EQ(ours.name, libc.name) << text;
}

TEST(EntryFields, ReadsLikeTheCLibraryOnChosenTexts) {
  const char* texts[] = {
      "0 10000 0 part_a.bin\n",
      "  0x1FC0000\t0X20000 \r\n 5 out_webfs_img.bin [end]",
      "-1 +10 -0x10 n",
      "0x 5 6 seven",
      "0xg 1 2 a",
      "0xx5",
      "x1 2 3 a",
      "1 2 3",
      "1 2 3   \n",
      "",
      "   ",
      "+ 1 2 a",
      "99999999999999999999 -99999999999999999999 ffffffffffffffff a",
      "10000000000000000 1 2 b",
      "12abz 1 2 a",
      "1 2 3 name\x01\x7f\xc3\xa9 rest",
      "1\v2\f3\ta",
      "00x5 1 2 c",
  };
  for (const char* text : texts) expectSame(scanOurs(text), scanLibc(text), text);
}

TEST(EntryFields, ReadsLikeTheCLibraryOnRandomTexts) {
  const std::string alphabet = " \t\n\r0123456789abcdefABCDEFxX+-gz_.";
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    expectSame(scanOurs(text), scanLibc(text), text);
  }
}

TEST(EntryFields, LongNamesAreCutTo127Characters) {
  const std::string longName(300, 'n');
  Scanned scanned = scanOurs("0 1 2 " + longName + " tail");
  EXPECT_EQ(scanned.count, 4);
  EXPECT_EQ(scanned.name, std::string(127, 'n'));
}

TEST(EntryFields, StopsAtTheBoundNotAtATerminator) {
  const std::string text = "10 20 30 abcdef";
  EntryFields fields{};
  EXPECT_EQ(scanEntryFields(text.data(), text.size() - 3, &fields), 4);
  EXPECT_STREQ(fields.name, "abc");
  EXPECT_EQ(scanEntryFields(text.data(), 5, &fields), 2);
  EXPECT_STREQ(fields.name, "");
}

}  // namespace
