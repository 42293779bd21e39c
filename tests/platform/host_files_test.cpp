// The host file streams back kcs.cfg reading and every file a mode writes, so
// their token and end-of-file behaviour must be that of formatted input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/platform.h"
#include "sim/rig.h"

namespace {

std::string tempPath(const char* name) { return ::testing::TempDir() + name; }

void writeText(const std::string& path, const std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

TEST(HostFiles, TokensAndEndOfFile) {
  struct Case {
    std::string content;
    std::vector<std::string> tokens;
    bool endAfterLastToken;  // the end was hit while reading the last token
  };
  const Case cases[] = {
      {"CMD CA3\nDATA CA2\n", {"CMD", "CA3", "DATA", "CA2"}, false},
      {"CMD CA3\nDATA CA2", {"CMD", "CA3", "DATA", "CA2"}, true},
      {"  \t\n", {}, false},
      {"0123456789012345678901234 x", {"0123456789012345678", "x"}, true},
  };
  const std::string path = tempPath("tokens.cfg");
  for (const Case& c : cases) {
    writeText(path, c.content);
    platform::File* file = platform::fileOpen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char token[20] = "untouched";
    for (const std::string& expected : c.tokens) {
      EXPECT_FALSE(platform::fileAtEnd(file));
      ASSERT_TRUE(platform::fileReadToken(file, token, sizeof token));
      EXPECT_EQ(token, expected);
    }
    EXPECT_EQ(platform::fileAtEnd(file), c.endAfterLastToken) << c.content;
    std::string before = token;
    EXPECT_FALSE(platform::fileReadToken(file, token, sizeof token));
    EXPECT_EQ(token, before);
    EXPECT_TRUE(platform::fileAtEnd(file));
    platform::fileClose(file);
  }
}

TEST(HostFiles, WriteModesEmptyAndSizesRead) {
  const std::string path = tempPath("stream.bin");
  writeText(path, std::string(100, 'x'));
  platform::File* file = platform::fileOpen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(platform::filePutByte(file, 0xA5), 0);
  EXPECT_EQ(platform::fileWrite(file, "bc", 2), 2u);
  EXPECT_EQ(platform::fileClose(file), 0);

  file = platform::fileOpen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(platform::fileSeekEnd(file), 0);
  EXPECT_EQ(platform::fileTell(file), 3);
  EXPECT_EQ(platform::fileSeek(file, 0), 0);
  EXPECT_EQ(platform::fileGetByte(file), 0xA5);
  EXPECT_EQ(platform::fileGetByte(file), 'b');
  EXPECT_EQ(platform::fileGetByte(file), 'c');
  EXPECT_EQ(platform::fileGetByte(file), -1);
  platform::fileClose(file);
  EXPECT_EQ(platform::fileOpen((path + ".missing").c_str(), "rb"), nullptr);
  EXPECT_EQ(platform::fileOpen(path.c_str(), "a"), nullptr);
}

TEST(HostFiles, FullVolumeStopsWrites) {
  hostplatform::resetAll();
  hostplatform::faults().writeLimit = 5;
  platform::File* file = platform::fileOpen(tempPath("full.bin").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(platform::fileWrite(file, "abcd", 4), 4u);
  EXPECT_EQ(platform::fileWrite(file, "efgh", 4), 1u);
  EXPECT_EQ(platform::filePutByte(file, 'x'), -1);
  platform::fileClose(file);
  hostplatform::resetAll();
}

TEST(HostFiles, SameFileByDeviceAndInodeOrByPlace) {
  sim::Rig rig;  // a scratch folder of its own as the current folder
  rig.writeFile("a", std::string("image"));
  rig.writeFile("c", std::string("image"));
  rig.makeDirectory("sub");
  ASSERT_EQ(link("a", "hard"), 0);
  ASSERT_EQ(symlink("a", "soft"), 0);
  const std::string here = rig.directory().string();
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"a", "./a", true},          {"a", "hard", true},         {"a", "soft", true},
      {"a", here + "/a", true},    {"a", "c", false},           {"a", "new", false},
      {"new", "./new", true},      {"new", "sub/../new", true}, {"new", here + "//new", true},
      {"new", "sub/new", false},   {"no/x", "no/x", true},      {"no/x", "no/y", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::sameFile(c.a.c_str(), c.b.c_str()), c.same) << c.a << " " << c.b;
    EXPECT_EQ(platform::sameFile(c.b.c_str(), c.a.c_str()), c.same) << c.b << " " << c.a;
  }
}

TEST(HostClock, TimerFiresAfterItsTimeInVirtualPolls) {
  hostplatform::resetAll();
  platform::Timer timer;
  ASSERT_EQ(platform::timerCreate(&timer), 0);
  ASSERT_EQ(platform::timerArm(timer, 10 * platform::kTimerUnitsPerSecond), 0);
  int polls = 0;
  while (!platform::timerFired(timer)) ++polls;
  EXPECT_EQ(polls + 1, 10000);
  EXPECT_EQ(hostplatform::nowMicros(), 10000000u);
  platform::timerCancel(timer);
  EXPECT_FALSE(platform::timerFired(timer));
  platform::timerClose(timer);
  platform::delaySeconds(50);
  EXPECT_EQ(hostplatform::stalledMicros(), 50000000u);
}

}  // namespace
