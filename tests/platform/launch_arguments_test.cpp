#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/file_system.h"
#include "platform/host/host.h"
#include "platform/launch_arguments.h"
#include "platform/platform.h"

namespace {

using launch::Source;
using namespace std::literals;

// UCS-2 little-endian bytes of text, as a boot entry stores them.
std::vector<uint8_t> ucs2(const std::u16string& text, bool terminated) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

struct LaunchCase {
  const char* name;
  std::vector<uint8_t> loadOptions;
  const char* argumentsFile;  // nullptr: no velkoran.args
  std::vector<std::string> expected;  // after argv[0]
  Source source;
};

std::vector<uint8_t> withOddByte(std::vector<uint8_t> bytes) {
  bytes.push_back('x');
  return bytes;
}

const LaunchCase kCases[] = {
    {"nothing at all", {}, nullptr, {}, Source::kNone},
    {"terminated load options", ucs2(u"-d dump.bin", true), "-c -d no.bin", {"-d", "dump.bin"},
     Source::kLoadOptions},
    {"no terminator", ucs2(u"-c -d b.bin", false), nullptr, {"-c", "-d", "b.bin"}, Source::kLoadOptions},
    {"odd length drops the stray byte", withOddByte(ucs2(u"-d a.bin", false)), nullptr,
     {"-d", "a.bin"}, Source::kLoadOptions},
    {"text after the terminator is not read", ucs2(u"-d a.bin\0-c"s, true), nullptr, {"-d", "a.bin"},
     Source::kLoadOptions},
    {"leading program name", ucs2(u"\\EFI\\velkoran\\Velkoran.EFI -d \"my dump.bin\" --reboot", true),
     nullptr, {"-d", "my dump.bin", "--reboot"}, Source::kLoadOptions},
    {"quotes, escapes and non-ASCII", ucs2(u"-f \"a \"b^\"c d\u00e9.bin", false), nullptr,
     {"-f", "a b\"c", "d\xc3\xa9.bin"}, Source::kLoadOptions},
    {"program name alone: the file", ucs2(u"Velkoran.efi", true), "-f fw.bin --poweroff",
     {"-f", "fw.bin", "--poweroff"}, Source::kArgumentsFile},
    // What OVMF's automatic boot entries carry: a GUID.
    {"binary data: the file",
     {0x4E, 0xAC, 0x08, 0x81, 0x11, 0x9F, 0x59, 0x4D, 0x85, 0x0E, 0xE2, 0x1A, 0x52, 0x2C, 0x59, 0xB2},
     "-d x.bin", {"-d", "x.bin"}, Source::kArgumentsFile},
    {"blank load options: the file", ucs2(u"  \t ", true), "-d x.bin\r\n-c second line", {"-d", "x.bin"},
     Source::kArgumentsFile},
    {"file with a BOM and a program name", {}, "\xEF\xBB\xBFVelkoran.efi  -c  -f \"r 1.bin\"\n",
     {"-c", "-f", "r 1.bin"}, Source::kArgumentsFile},
    {"empty file: the banner", {}, "", {}, Source::kNone},
    {"blank first line: the banner", {}, "\n-d x.bin", {}, Source::kNone},
};

class LaunchArguments : public ::testing::TestWithParam<LaunchCase> {
 protected:
  void SetUp() override { hostplatform::setFileSystem(&files_); }
  void TearDown() override { hostplatform::resetAll(); }
  hostplatform::MemoryFileSystem files_;
};

TEST_P(LaunchArguments, BuildsTheArgumentVector) {
  const LaunchCase& c = GetParam();
  if (c.argumentsFile != nullptr) {
    const std::string content = c.argumentsFile;
    files_.setFile("velkoran.args", std::vector<uint8_t>(content.begin(), content.end()));
  }
  launch::Arguments arguments{};
  ASSERT_TRUE(launch::buildArguments("\\EFI\\BOOT\\BOOTX64.EFI", c.loadOptions.data(),
                                     c.loadOptions.size(), &arguments));
  std::vector<std::string> got;
  for (int i = 1; i < arguments.argc; ++i) got.emplace_back(arguments.argv[i]);
  EXPECT_EQ(got, c.expected);
  EXPECT_STREQ(arguments.argv[0], "\\EFI\\BOOT\\BOOTX64.EFI");
  EXPECT_EQ(arguments.argv[arguments.argc], nullptr);
  EXPECT_EQ(arguments.source, c.source);
  platform::release(arguments.argv);
}

INSTANTIATE_TEST_SUITE_P(Cases, LaunchArguments, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST_F(LaunchArguments, OverlongFileLineIsRefusedNotCut) {
  std::string line = "-d " + std::string(launch::kMaxArgumentsLine, 'a');
  files_.setFile("velkoran.args", std::vector<uint8_t>(line.begin(), line.end()));
  launch::Arguments arguments{};
  ASSERT_TRUE(launch::buildArguments("V.efi", nullptr, 0, &arguments));
  EXPECT_EQ(arguments.argc, 1);
  EXPECT_EQ(arguments.source, Source::kArgumentsFileTooLong);
  platform::release(arguments.argv);
}

}  // namespace
