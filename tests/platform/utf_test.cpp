#include "platform/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Units = std::u16string;

Units toUtf16(const std::string& text) {
  std::vector<uint16_t> out(utf::utf16LengthOfUtf8(text.data(), text.size()) + 1, 0xEEEE);
  size_t written = utf::utf8ToUtf16(text.data(), text.size(), out.data(), out.size());
  EXPECT_EQ(written + 1, out.size());
  EXPECT_EQ(out[written], 0);
  return Units(out.begin(), out.begin() + written);
}

std::string toUtf8(const Units& units) {
  std::vector<uint16_t> in(units.begin(), units.end());
  in.push_back(0);
  std::string out(utf::utf8LengthOfUtf16(in.data()) + 1, '#');
  size_t written = utf::utf16ToUtf8(in.data(), out.data(), out.size());
  EXPECT_EQ(written + 1, out.size());
  EXPECT_EQ(out[written], '\0');
  return out.substr(0, written);
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  uint32_t codePoint;
  size_t consumed;
};

TEST(Utf8Decode, AcceptsWellFormedAndReplacesMalformedOneByteAtATime) {
  const DecodeCase cases[] = {
      {"ascii", "A", 'A', 1},
      {"two bytes", "\xC3\xA9", 0xE9, 2},
      {"left quotation mark", "\xE2\x80\x9C", 0x201C, 3},
      {"four bytes", "\xF0\x9F\x98\x80", 0x1F600, 4},
      {"highest code point", "\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"overlong slash", "\xC0\xAF", utf::kReplacement, 1},
      {"overlong three bytes", "\xE0\x80\xAF", utf::kReplacement, 1},
      {"encoded surrogate", "\xED\xA0\x80", utf::kReplacement, 1},
      {"above U+10FFFF", "\xF4\x90\x80\x80", utf::kReplacement, 1},
      {"truncated", "\xE2\x80", utf::kReplacement, 1},
      {"stray continuation", "\x80", utf::kReplacement, 1},
      {"bad continuation", "\xC3\x41", utf::kReplacement, 1},
      {"invalid lead", "\xFF", utf::kReplacement, 1},
  };
  for (const auto& c : cases) {
    uint32_t codePoint = 0;
    EXPECT_EQ(utf::decodeUtf8(c.bytes.data(), c.bytes.size(), &codePoint), c.consumed) << c.name;
    EXPECT_EQ(codePoint, c.codePoint) << c.name;
  }
}

struct PairCase {
  const char* name;
  std::string utf8;
  Units utf16;
};

TEST(UtfConversion, ConvertsBothWays) {
  const PairCase cases[] = {
      {"empty", "", u""},
      {"shell path", "FS0:\\Velkoran.efi", u"FS0:\\Velkoran.efi"},
      {"quotation marks", "\xE2\x80\x9CWarning!\xE2\x80\x9D", u"\u201CWarning!\u201D"},
      {"latin", "caf\xC3\xA9", u"caf\u00E9"},
      {"surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toUtf16(c.utf8), c.utf16) << c.name;
    EXPECT_EQ(toUtf8(c.utf16), c.utf8) << c.name;
  }
}

TEST(UtfConversion, UnpairedSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(toUtf8(Units{0xD800, u'a'}), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(toUtf8(Units{u'a', 0xDC00}), "a\xEF\xBF\xBD");
  EXPECT_EQ(toUtf16("\xE2\x80"), (Units{0xFFFD, 0xFFFD}));
}

TEST(UtfConversion, StopsBeforeACharacterThatDoesNotFit) {
  const uint16_t text[] = {u'a', 0x201C, u'b', 0};
  char out[4];
  EXPECT_EQ(utf::utf16ToUtf8(text, out, sizeof out), 1u);
  EXPECT_STREQ(out, "a");

  uint16_t units[3];
  const std::string pair = "a\xF0\x9F\x98\x80";
  EXPECT_EQ(utf::utf8ToUtf16(pair.data(), pair.size(), units, 3), 1u);
  EXPECT_EQ(units[1], 0);
}

struct ConsoleCase {
  const char* name;
  std::string text;
  Units units;
};

Units consoleUnitsInChunks(const std::string& text, size_t capacity) {
  Units all;
  std::vector<uint16_t> out(capacity);
  for (size_t offset = 0; offset < text.size();) {
    size_t consumed = 0;
    size_t written = utf::toConsoleUnits(text.data() + offset, text.size() - offset, out.data(),
                                         capacity, &consumed);
    EXPECT_LT(written, capacity);
    EXPECT_EQ(out[written], 0);
    if (consumed == 0) {
      ADD_FAILURE() << "no progress at capacity " << capacity;
      break;
    }
    all.append(out.begin(), out.begin() + written);
    offset += consumed;
  }
  return all;
}

TEST(ConsoleUnits, EndsLinesWithCrLfAndLeavesCarriageReturnsAlone) {
  const ConsoleCase cases[] = {
      {"line end", "a\nb", u"a\r\nb"},
      {"blank line", "ERROR:X\n\n", u"ERROR:X\r\n\r\n"},
      {"progress", " 45%\r", u" 45%\r"},
      {"carriage return then newline", "x\r\n", u"x\r\r\n"},
      {"quotation marks", "\xE2\x80\x9CWarning!\n\xE2\x80\x9D\n", u"\u201CWarning!\r\n\u201D\r\n"},
      {"beyond the console's range", "\xF0\x9F\x98\x80", u"\uFFFD"},
  };
  for (const auto& c : cases) {
    for (size_t capacity : {3, 4, 5, 64}) {
      EXPECT_EQ(consoleUnitsInChunks(c.text, capacity), c.units)
          << c.name << ", capacity " << capacity;
    }
  }
}

TEST(ConsoleUnits, NeverSplitsALineEnd) {
  uint16_t out[3];
  size_t consumed = 0;
  EXPECT_EQ(utf::toConsoleUnits("ab\n", 3, out, 3, &consumed), 2u);
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(utf::toConsoleUnits("\n", 1, out, 3, &consumed), 2u);
  EXPECT_EQ(out[0], u'\r');
  EXPECT_EQ(out[1], u'\n');
}

}  // namespace
