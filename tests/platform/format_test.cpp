// The console formatter must print exactly what the C library's printf prints
// for every format the program uses.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/format.h"

namespace {

template <typename... Args>
void expectSameAsPrintf(const char* format, Args... args) {
  char ours[256];
  char theirs[256];
  size_t length = platform::formatText(ours, sizeof ours, format, args...);
  int expected = std::snprintf(theirs, sizeof theirs, format, args...);
  EXPECT_STREQ(ours, theirs) << "format: " << format;
  EXPECT_EQ(length, static_cast<size_t>(expected)) << "format: " << format;
}

TEST(Format, ProgramFormatsMatchPrintf) {
  expectSameAsPrintf("ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:%s\n\n", "-x");
  expectSameAsPrintf("%s ", "FS0:\\Velkoran.efi");
  expectSameAsPrintf("[doIPMICmd] Abnormal. CompCode == 0x%x\n", 0xFFFFFFFFu);
  expectSameAsPrintf("[doIPMICmd] Abnormal. CompCode == 0x%x\n", 0xC1u);
  for (long length : {0L, 49L, 262144L, 33554432L, 99999999L, 123456789L}) {
    for (long sent : {49L, 1024L, 13132L, 262101L}) {
      for (int percent : {1, 6, 96, 100}) {
        expectSameAsPrintf("Load part %d %8ld bytes, %5ldK bytes   %d%%\r", 3, length,
                           sent / 1024 + 1, percent);
      }
    }
    expectSameAsPrintf("Load part %d %8ld bytes, [Ok]                       \r\n", 0, length);
    expectSameAsPrintf("length=0x%lx\n", static_cast<unsigned long>(length));
    expectSameAsPrintf("%ldK bytes      %d%%\r", length / 1024 + 1, 105);
    expectSameAsPrintf("Total data length : %9ld\n", length);
    expectSameAsPrintf("Total data length : %9ld\n", -length);
    expectSameAsPrintf(
        "Bytes Processed data length : 0x%4lx Bytes Transmit Progress : %4ld %%\r", length,
        length % 101);
  }
  expectSameAsPrintf("new firmware is updating...%d%%\r", 255);
  expectSameAsPrintf("Error : Unsynchronized sequence. Expected : %u, Received : %u\n", 0u,
                     0xFFFFFFu);
  expectSameAsPrintf("Retransmission failed %u times.\n", 6u);
  expectSameAsPrintf("Press any to continue name %s\n", "image.bin");
  expectSameAsPrintf("%lu %c %-5d|%05d|%-6s|", 18446744073709551615UL, 'x', -42, -42, "ab");
  expectSameAsPrintf("%d %ld", -2147483647 - 1, -9223372036854775807L - 1);
}

TEST(Format, TruncatesButReportsFullLength) {
  char out[8];
  size_t length = platform::formatText(out, sizeof out, "%s-%d", "abcdef", 12345);
  EXPECT_STREQ(out, "abcdef-");
  EXPECT_EQ(length, 12u);
}

}  // namespace
