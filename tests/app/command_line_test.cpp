#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/cli_support.h"

namespace {

TEST(Banner, LinesHaveTheirWidths) {
  std::istringstream lines(kBanner);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    size_t expected = (number >= 7 && number <= 10) ? 78 : (number == 20 ? 0 : 77);
    EXPECT_EQ(line.size(), expected) << "banner line " << number << ": " << line;
  }
  EXPECT_EQ(number, 20);
}

TEST(Banner, PrintUsageMatches) {
  sim::Rig rig;
  printUsage();
  EXPECT_EQ(rig.console, kBanner);
}

struct ParseCase {
  const char* name;
  std::vector<std::string> args;
  bool ok;
  std::string error;  // printed after the banner when !ok
  const char* firmwareFile;
  const char* dumpFile;
  const char* interfaceName;
  const char* host;
  const char* port;
  const char* userName;
  const char* password;
  uint8_t preserve;
  bool config;
};

std::string unknown(const std::string& arg) {
  return "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:" + arg + "\n\n";
}
const std::string kInterfaceError = "ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n";
const std::string kPreserveError = "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n";

const ParseCase kParseCases[] = {
    {"firmware", {"v", "-f", "a.bin"}, true, "", "a.bin", nullptr, "", "", "", "", "", 0xFF, false},
    {"f last is ignored", {"v", "-f"}, true, "", nullptr, nullptr, "", "", "", "", "", 0xFF, false},
    {"option argument may start with dash", {"v", "-f", "-d"}, true, "", "-d", nullptr, "", "", "", "", "", 0xFF, false},
    {"later occurrence wins", {"v", "-f", "a", "-f", "b", "-r", "n", "-r", "y"}, true, "", "b", nullptr, "", "", "", "", "", 1, false},
    {"dump and config", {"v", "-c", "-d", "bk.bin"}, true, "", nullptr, "bk.bin", "", "", "", "", "", 0xFF, true},
    {"preserve n", {"v", "-r", "n"}, true, "", nullptr, nullptr, "", "", "", "", "", 0, false},
    {"preserve upper case", {"v", "-f", "x", "-r", "Y"}, false, kPreserveError, "x", nullptr, "", "", "", "", "", 0xFF, false},
    {"interface upper case", {"v", "-i", "LAN", "-f", "x"}, false, kInterfaceError, nullptr, nullptr, "", "", "", "", "", 0xFF, false},
    {"interface usb", {"v", "-i", "usb"}, true, "", nullptr, nullptr, "usb", "", "", "", "", 0xFF, false},
    {"interface last is ignored", {"v", "-i"}, true, "", nullptr, nullptr, "", "", "", "", "", 0xFF, false},
    {"host then option", {"v", "-h", "10.0.0.1", "-u", "admin"}, true, "", nullptr, nullptr, "", "10.0.0.1", "623", "admin", "", 0xFF, false},
    {"host and port", {"v", "-h", "10.0.0.1", "6230", "-p", "pw"}, true, "", nullptr, nullptr, "", "10.0.0.1", "6230", "", "pw", 0xFF, false},
    {"host with one argument", {"v", "-h", "10.0.0.1"}, false, unknown("10.0.0.1"), nullptr, nullptr, "", "", "", "", "", 0xFF, false},
    {"host twice, second without port", {"v", "-h", "a", "99", "-h", "b", "-c"}, true, "", nullptr, nullptr, "", "b", "623", "", "", 0xFF, true},
    {"long texts are cut", {"v", "-u", "0123456789abcdefghij", "-p", "PASSWORD-LONGER-THAN-15"}, true, "", nullptr, nullptr, "", "", "", "0123456789abcde", "PASSWORD-LONGER", 0xFF, false},
    {"unknown after valid", {"v", "-f", "a", "-x", "-d", "b"}, false, unknown("-x"), "a", nullptr, "", "", "", "", "", 0xFF, false},
    {"upper case option", {"v", "-F", "a"}, false, unknown("-F"), nullptr, nullptr, "", "", "", "", "", 0xFF, false},
};

TEST(CommandLine, ParsesAsTheOptionTableSays) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.name);
    sim::Rig rig;
    std::vector<std::string> args = c.args;
    EXPECT_EQ(parseOnly(args), c.ok);
    EXPECT_EQ(rig.console, c.ok ? "" : kBanner + c.error);
    auto same = [](const char* actual, const char* expected) {
      return (actual == nullptr || expected == nullptr) ? actual == expected
                                                         : std::string(actual) == expected;
    };
    EXPECT_TRUE(same(toolContext.firmwareFile, c.firmwareFile));
    EXPECT_TRUE(same(toolContext.dumpFile, c.dumpFile));
    EXPECT_STREQ(toolContext.interfaceName, c.interfaceName);
    EXPECT_STREQ(toolContext.host, c.host);
    EXPECT_STREQ(toolContext.port, c.port);
    EXPECT_STREQ(toolContext.userName, c.userName);
    EXPECT_STREQ(toolContext.password, c.password);
    EXPECT_EQ(toolContext.preserveConfig, c.preserve);
    EXPECT_EQ(toolContext.configMode, c.config);
  }
}

}  // namespace
