#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/text.h"

namespace {

TEST(Text, FindAgreesWithMemmemOnBoundaries) {
  struct Case {
    std::string haystack;
    size_t limit;
    const char* needle;
  };
  const Case cases[] = {
      {"xx[img]: 0", 10, "[img]: "}, {"xx[img]: 0", 8, "[img]: "},
      {"[img]:", 6, "[img]: "},      {"aaab", 4, "aab"},
      {"", 0, "x"},                  {"[end][end]", 10, "[end]"},
  };
  for (const Case& c : cases) {
    const void* expected = memmem(c.haystack.data(), c.limit, c.needle, std::strlen(c.needle));
    EXPECT_EQ(text::find(c.haystack.data(), c.limit, c.needle), expected)
        << c.haystack << " / " << c.needle;
  }
}

TEST(Text, CopyCutsToCapacity) {
  char field[16];
  text::copy(field, sizeof field, "0123456789abcdefXYZ");
  EXPECT_STREQ(field, "0123456789abcde");
  text::copy(field, sizeof field, "short");
  EXPECT_STREQ(field, "short");
}

TEST(Text, CompareAndPrefix) {
  EXPECT_TRUE(text::equal("-f", "-f"));
  EXPECT_FALSE(text::equal("-f", "-F"));
  EXPECT_FALSE(text::equal("-f", "-ff"));
  EXPECT_TRUE(text::startsWith("out_webfs_img.bin.old", "out_webfs_img.bin"));
  EXPECT_FALSE(text::startsWith("out_webfs_img.bi", "out_webfs_img.bin"));
}

}  // namespace
