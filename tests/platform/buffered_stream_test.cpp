#include "platform/buffered_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using platform::BufferedStream;
using platform::kStreamBufferSize;

// Storage in memory that counts the calls a firmware would see.
struct Storage {
  std::string data;
  int reads = 0;
  int writes = 0;
  int64_t writeLimit = -1;  // bytes that fit on the volume in all; -1 unlimited
  bool wholeWritesOnly = false;  // a write that does not fit takes nothing (FAT)
  size_t written = 0;

  static size_t readAt(void* context, uint64_t position, void* destination, size_t count) {
    auto* self = static_cast<Storage*>(context);
    self->reads++;
    if (position >= self->data.size()) return 0;
    size_t got = std::min<size_t>(count, self->data.size() - position);
    std::memcpy(destination, self->data.data() + position, got);
    return got;
  }

  static size_t writeAt(void* context, uint64_t position, const void* source, size_t count) {
    auto* self = static_cast<Storage*>(context);
    self->writes++;
    size_t allowed = count;
    if (self->writeLimit >= 0) {
      allowed = std::min<size_t>(count, static_cast<size_t>(self->writeLimit) - self->written);
      if (self->wholeWritesOnly && allowed < count) allowed = 0;
    }
    if (self->data.size() < position + allowed) self->data.resize(position + allowed, '\0');
    self->data.replace(position, allowed, static_cast<const char*>(source), allowed);
    self->written += allowed;
    return allowed;
  }

  static bool size(void* context, uint64_t* size) {
    *size = static_cast<Storage*>(context)->data.size();
    return true;
  }
};

class Stream : public ::testing::Test {
 protected:
  BufferedStream* open(const std::string& contents) {
    storage_.data = contents;
    platform::streamInit(stream_.get(), {&storage_, Storage::readAt, Storage::writeAt,
                                         Storage::size});
    return stream_.get();
  }

  Storage storage_;
  std::unique_ptr<BufferedStream> stream_ = std::make_unique<BufferedStream>();
};

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

TEST_F(Stream, ReadsByteByByteWithOneStorageReadPerBuffer) {
  const std::string bytes = pattern(20000);
  BufferedStream* s = open(bytes);
  for (size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(platform::streamGetByte(s), static_cast<uint8_t>(bytes[i])) << i;
  }
  EXPECT_FALSE(platform::streamAtEnd(s));
  EXPECT_EQ(platform::streamGetByte(s), -1);
  EXPECT_TRUE(platform::streamAtEnd(s));
  EXPECT_EQ(storage_.reads, 4);  // three buffers and the one that finds the end
}

TEST_F(Stream, WritesByteByByteWithOneStorageWritePerBuffer) {
  const std::string bytes = pattern(20000);
  BufferedStream* s = open("");
  for (char c : bytes) ASSERT_EQ(platform::streamPutByte(s, static_cast<uint8_t>(c)), 0);
  EXPECT_EQ(storage_.writes, 2);
  EXPECT_TRUE(platform::streamFlush(s));
  EXPECT_EQ(storage_.data, bytes);
  EXPECT_EQ(storage_.writes, 3);
}

TEST_F(Stream, LargeBlocksGoStraightThrough) {
  const std::string bytes = pattern(3 * kStreamBufferSize);
  BufferedStream* s = open(bytes);
  std::vector<char> block(bytes.size());
  EXPECT_EQ(platform::streamRead(s, block.data(), block.size()), bytes.size());
  EXPECT_EQ(std::string(block.begin(), block.end()), bytes);
  EXPECT_EQ(storage_.reads, 1);
  EXPECT_FALSE(platform::streamAtEnd(s));

  BufferedStream* w = open("");
  EXPECT_EQ(platform::streamWrite(w, bytes.data(), bytes.size()), bytes.size());
  EXPECT_EQ(storage_.writes, 1);
  EXPECT_EQ(storage_.data, bytes);
}

TEST_F(Stream, SeekTellAndShortReads) {
  const std::string bytes = pattern(20000);
  BufferedStream* s = open(bytes);
  ASSERT_EQ(platform::streamSeekEnd(s), 0);
  EXPECT_EQ(platform::streamTell(s), 20000);
  ASSERT_EQ(platform::streamSeek(s, 9000), 0);
  std::vector<char> block(20000);
  EXPECT_EQ(platform::streamRead(s, block.data(), block.size()), 11000u);
  EXPECT_EQ(std::string(block.data(), 11000), bytes.substr(9000));
  EXPECT_TRUE(platform::streamAtEnd(s));
  ASSERT_EQ(platform::streamSeek(s, 3), 0);
  EXPECT_FALSE(platform::streamAtEnd(s));
  EXPECT_EQ(platform::streamGetByte(s), static_cast<uint8_t>(bytes[3]));
  EXPECT_EQ(platform::streamTell(s), 4);
  EXPECT_EQ(platform::streamSeek(s, -1), -1);
  ASSERT_EQ(platform::streamSeek(s, 30000), 0);
  EXPECT_EQ(platform::streamGetByte(s), -1);
  EXPECT_TRUE(platform::streamAtEnd(s));
}

TEST_F(Stream, ReadsAndWritesMixOnOneStream) {
  BufferedStream* s = open("0123456789");
  EXPECT_EQ(platform::streamGetByte(s), '0');
  ASSERT_EQ(platform::streamSeek(s, 3), 0);
  EXPECT_EQ(platform::streamWrite(s, "ab", 2), 2u);
  EXPECT_EQ(platform::streamGetByte(s), '5');  // the read sees the write
  ASSERT_EQ(platform::streamSeekEnd(s), 0);
  EXPECT_EQ(platform::streamPutByte(s, 'Z'), 0);
  ASSERT_EQ(platform::streamSeek(s, 0), 0);
  char all[16] = {};
  EXPECT_EQ(platform::streamRead(s, all, sizeof all), 11u);
  EXPECT_STREQ(all, "012ab56789Z");
  EXPECT_TRUE(platform::streamFlush(s));
  EXPECT_EQ(storage_.data, "012ab56789Z");
}

TEST_F(Stream, AFullVolumeShowsInTheWriteOrTheFlush) {
  storage_.writeLimit = 10000;
  BufferedStream* s = open("");
  const std::string bytes = pattern(20000);
  size_t accepted = 0;
  while (accepted < bytes.size() &&
         platform::streamPutByte(s, static_cast<uint8_t>(bytes[accepted])) == 0) {
    ++accepted;
  }
  EXPECT_LT(accepted, bytes.size());
  EXPECT_FALSE(platform::streamFlush(s));
  EXPECT_EQ(storage_.data, bytes.substr(0, 10000));

  storage_.writeLimit = 5;
  storage_.written = 0;
  BufferedStream* block = open("");
  EXPECT_EQ(platform::streamWrite(block, bytes.data(), 10), 10u);  // buffered
  EXPECT_FALSE(platform::streamFlush(block));
}

TEST_F(Stream, AVolumeThatRefusesWholeWritesKeepsWhatFits) {
  const std::string bytes = pattern(20000);
  for (int64_t limit : {0, 1, 4095, 8192, 8193, 12345, 19999}) {
    SCOPED_TRACE(limit);
    storage_ = Storage{};
    storage_.writeLimit = limit;
    storage_.wholeWritesOnly = true;
    BufferedStream* s = open("");
    size_t accepted = 0;
    while (accepted < bytes.size() &&
           platform::streamPutByte(s, static_cast<uint8_t>(bytes[accepted])) == 0) {
      ++accepted;
    }
    EXPECT_FALSE(platform::streamFlush(s));
    EXPECT_EQ(storage_.data, bytes.substr(0, static_cast<size_t>(limit)));
    EXPECT_LT(storage_.writes, 40) << "pieces halve, not one byte at a time";

    storage_ = Storage{};
    storage_.writeLimit = limit;
    storage_.wholeWritesOnly = true;
    BufferedStream* large = open("");
    EXPECT_EQ(platform::streamWrite(large, bytes.data(), bytes.size()), static_cast<size_t>(limit));
    EXPECT_EQ(storage_.data, bytes.substr(0, static_cast<size_t>(limit)));
  }
}

struct TokenCase {
  const char* name;
  std::string text;
  size_t capacity;
  std::vector<std::string> tokens;
};

TEST_F(Stream, ReadsTokensLikeScanf) {
  const TokenCase cases[] = {
      {"port file", "  0xca2\n\tabcdefgh  last", 6, {"0xca2", "abcde", "last"}},
      {"empty", "", 16, {}},
      {"only blanks", " \r\n\t\v\f", 16, {}},
      {"no line end", "0xca3", 16, {"0xca3"}},
      {"crlf", "kcs\r\n0xca2\r\n", 16, {"kcs", "0xca2"}},
      {"across a buffer", std::string(kStreamBufferSize - 2, ' ') + "abcdef", 16, {"abcdef"}},
      {"one byte room", "abc def", 1, {"", ""}},
  };
  for (const auto& c : cases) {
    BufferedStream* s = open(c.text);
    std::vector<std::string> tokens;
    std::vector<char> token(c.capacity, '#');
    while (platform::streamReadToken(s, token.data(), token.size())) {
      tokens.emplace_back(token.data());
    }
    EXPECT_EQ(tokens, c.tokens) << c.name;
    EXPECT_TRUE(platform::streamAtEnd(s)) << c.name;
  }
}

TEST_F(Stream, EndOfFileShowsOnlyOnceATokenRunsIntoIt) {
  BufferedStream* s = open("a\nb");
  char token[4];
  ASSERT_TRUE(platform::streamReadToken(s, token, sizeof token));
  EXPECT_FALSE(platform::streamAtEnd(s));  // the newline after "a" stays unread
  EXPECT_EQ(platform::streamTell(s), 1);
  ASSERT_TRUE(platform::streamReadToken(s, token, sizeof token));
  EXPECT_STREQ(token, "b");
  EXPECT_TRUE(platform::streamAtEnd(s));
  char untouched[4] = "xyz";
  EXPECT_FALSE(platform::streamReadToken(s, untouched, sizeof untouched));
  EXPECT_STREQ(untouched, "xyz");
}

}  // namespace
