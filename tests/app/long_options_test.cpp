#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli_support.h"

namespace {

struct LongOptionCase {
  const char* name;
  std::vector<std::string> args;
  std::string error;  // after the banner; empty when the parse succeeds
  const char* firmwareFile;
  const char* logFile;
  const char* verifyImage;
  bool exitStatus;
  bool assumeYes;
  uint32_t waitSeconds;
};

const std::string kUnknown = "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:";

const LongOptionCase kCases[] = {
    {"all of them", {"v", "--status", "-f", "a", "--yes", "--log", "r.log", "--verify", "i.bin", "--wait-bmc"},
     "", "a", "r.log", "i.bin", true, true, 600},
    {"values after an equals sign", {"v", "--log=r.log", "--verify=i.bin", "--wait-bmc=45"},
     "", nullptr, "r.log", "i.bin", false, false, 45},
    {"a short option takes a long one as its argument", {"v", "-f", "--status"},
     "", "--status", nullptr, nullptr, false, false, 0},
    {"a short option takes --help as its argument", {"v", "-f", "--help"},
     "", "--help", nullptr, nullptr, false, false, 0},
    {"help takes no value", {"v", "--help=1"}, kUnknown + "--help=1\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"no abbreviated version", {"v", "--vers"}, kUnknown + "--vers\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"unknown long option", {"v", "--stat"}, kUnknown + "--stat\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"no upper case", {"v", "--STATUS"}, kUnknown + "--STATUS\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"a flag takes no value", {"v", "--yes=1"}, kUnknown + "--yes=1\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"log without a file", {"v", "--status", "--log"},
     "ERROR:PLEASE GIVE A VALUE FOR THE OPTION:--log\n\n", nullptr, nullptr, nullptr, true, false, 0},
    {"empty value", {"v", "--verify=", "x"},
     "ERROR:PLEASE GIVE A VALUE FOR THE OPTION:--verify=\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"a separate value is no option", {"v", "--log", "-r", "n"},
     "ERROR:PLEASE GIVE A VALUE FOR THE OPTION:--log\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"a separate value is no long option", {"v", "-f", "a", "--verify", "--status"},
     "ERROR:PLEASE GIVE A VALUE FOR THE OPTION:--verify\n\n", "a", nullptr, nullptr, false, false, 0},
    {"after an equals sign it may be", {"v", "--log=--status", "--verify=-r"},
     "", nullptr, "--status", "-r", false, false, 0},
    {"zero seconds", {"v", "--wait-bmc=0"},
     "ERROR:PLEASE CHECK THE VALUE OF THE OPTION:--wait-bmc=0\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"seconds not a number", {"v", "--wait-bmc=1m"},
     "ERROR:PLEASE CHECK THE VALUE OF THE OPTION:--wait-bmc=1m\n\n", nullptr, nullptr, nullptr, false, false, 0},
    {"seconds too many", {"v", "--wait-bmc=4294967296"},
     "ERROR:PLEASE CHECK THE VALUE OF THE OPTION:--wait-bmc=4294967296\n\n", nullptr, nullptr, nullptr, false, false, 0},
};

std::string orNull(const char* text) { return text == nullptr ? "(null)" : text; }

TEST(LongOptions, ParseOrRefuseLikeTheShortOnes) {
  for (const LongOptionCase& c : kCases) {
    SCOPED_TRACE(c.name);
    sim::Rig rig;
    std::vector<std::string> args = c.args;
    const bool ok = parseOnly(args);
    EXPECT_EQ(ok, c.error.empty());
    EXPECT_EQ(rig.console, c.error.empty() ? "" : kBanner + c.error);
    const RunOptions& options = toolContext.runOptions;
    EXPECT_EQ(orNull(toolContext.firmwareFile), orNull(c.firmwareFile));
    EXPECT_EQ(orNull(options.logFile), orNull(c.logFile));
    EXPECT_EQ(orNull(options.verifyImage), orNull(c.verifyImage));
    EXPECT_EQ(options.exitStatus, c.exitStatus);
    EXPECT_EQ(options.assumeYes, c.assumeYes);
    EXPECT_EQ(options.waitBmcSeconds, c.waitSeconds);
  }
}

}  // namespace
