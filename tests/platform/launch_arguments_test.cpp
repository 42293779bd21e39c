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
    {"trailing NULs after the terminator", ucs2(u"-d a.bin\0\0\0"s, true), nullptr, {"-d", "a.bin"},
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

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct RefusalCase {
  const char* name;
  std::vector<uint8_t> loadOptions;
  std::string argumentsFile;  // empty: no velkoran.args
  const char* error;          // the whole console text
};

const std::string kUtf16Line = "-\0d\0 \0x\0.\0b\0i\0n\0 \0-\0-\0p\0o\0w\0e\0r\0o\0f\0f\0"s;

const RefusalCase kRefusals[] = {
    {"overlong line", {}, "-d " + std::string(launch::kMaxArgumentsLine, 'a'),
     "ERROR:THE LINE IN velkoran.args IS LONGER THAN 4096 BYTES, IT IS NOT USED\n\n"},
    {"UTF-16 with its byte-order mark", {}, "\xFF\xFE"s + kUtf16Line + "\r\0\n\0"s,
     "ERROR:velkoran.args MUST BE ASCII OR UTF-8 TEXT, IT IS NOT USED\n\n"},
    {"big-endian UTF-16", {}, "\xFE\xFF\0-\0d"s,
     "ERROR:velkoran.args MUST BE ASCII OR UTF-8 TEXT, IT IS NOT USED\n\n"},
    {"UTF-16 without a mark", {}, kUtf16Line,
     "ERROR:velkoran.args MUST BE ASCII OR UTF-8 TEXT, IT IS NOT USED\n\n"},
    {"Latin-1, not UTF-8", {}, "-d caf\xE9.bin",
     "ERROR:velkoran.args MUST BE ASCII OR UTF-8 TEXT, IT IS NOT USED\n\n"},
    {"NUL inside a word of the file", {}, "-d ab\0c.bin --poweroff"s,
     "ERROR:THE LINE IN velkoran.args HOLDS A NUL CHARACTER, IT IS NOT USED\n\n"},
    {"unbalanced quote in the file", {}, "-d \"my dump.bin --poweroff\r\n",
     "ERROR:THE LINE IN velkoran.args HAS A DOUBLE QUOTE THAT IS NEVER CLOSED, IT IS NOT USED\n\n"},
    {"unbalanced quote in the load options", ucs2(u"-d \"my dump.bin --poweroff", false), "-d x.bin",
     "ERROR:THE LINE IN THE LOAD OPTIONS HAS A DOUBLE QUOTE THAT IS NEVER CLOSED, IT IS NOT "
     "USED\n\n"},
    {"text after a NUL in the load options", ucs2(u"-d a.bin\0-c"s, true), "-d x.bin",
     "ERROR:THE LINE IN THE LOAD OPTIONS HOLDS A NUL CHARACTER, IT IS NOT USED\n\n"},
    {"escaped quote is no quote", {}, "-d my^\"dump.bin", ""},
    {"binary load options fall through to a good file",
     {0x4E, 0xAC, 0x08, 0x81, 0, 0, 0x59, 0x4D}, "-d x.bin", ""},
};

class LineRefusals : public ::testing::TestWithParam<RefusalCase> {
 protected:
  void SetUp() override {
    hostplatform::setFileSystem(&files_);
    hostplatform::captureConsole(&console_);
  }
  void TearDown() override { hostplatform::resetAll(); }
  hostplatform::MemoryFileSystem files_;
  std::string console_;
};

// A refused line runs nothing of itself: the program sees no arguments, as
// for an empty line, after the one error line.
TEST_P(LineRefusals, RefusesTheWholeLine) {
  const RefusalCase& c = GetParam();
  if (!c.argumentsFile.empty()) files_.setFile("velkoran.args", bytes(c.argumentsFile));
  launch::Arguments arguments{};
  ASSERT_TRUE(launch::buildArguments("V.efi", c.loadOptions.data(), c.loadOptions.size(),
                                     &arguments));
  launch::printRefusal(arguments);
  EXPECT_EQ(console_, c.error);
  const bool refused = c.error[0] != '\0';
  EXPECT_EQ(arguments.refusal != launch::Refusal::kNone, refused);
  EXPECT_EQ(arguments.argc == 1, refused);
  EXPECT_STREQ(arguments.argv[0], "V.efi");
  EXPECT_EQ(arguments.argv[arguments.argc], nullptr);
  platform::release(arguments.argv);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

}  // namespace
