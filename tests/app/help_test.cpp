// --help and --version: shown instead of a job, a success, nothing sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli_support.h"
#include "app/help.h"

namespace {

const std::string kHelpStart = kBanner + "LONG OPTIONS\n  --status ";
const std::string kVersionTail = std::string(" 2.08 (build ") + buildIdentification() + ")\n";

struct InfoCase {
  const char* name;
  std::vector<std::string> args;
  std::string consoleStart;
  std::string consoleEnd;
  int status;  // with --status given first
};

const InfoCase kInfoCases[] = {
    {"help", {"v", "--status", "--help"}, kHelpStart,
     "  7 no-memory         the program could not get the memory it needs\n"
     "  8 unsettled         the BMC may still be writing its flash: keep the power on\n", 0},
    {"help ends the parse", {"v", "--status", "-f", "x.bin", "--help", "-z", "--bogus"}, kHelpStart, "keep the power on\n", 0},
    {"version", {"v", "--status", "--version"}, "v" + kVersionTail, "v" + kVersionTail, 0},
    {"version names the program file", {"FS0:\\EFI\\Velkoran.efi", "--status", "--version"},
     "Velkoran.efi" + kVersionTail, "Velkoran.efi" + kVersionTail, 0},
    {"version of a program without a name", {"", "--status", "--version"},
     "velkoran" + kVersionTail, "velkoran" + kVersionTail, 0},
    {"an error before it wins", {"v", "--status", "-z", "--help"}, kBanner + "ERROR:PLEASE CHECK",
     "OPTIONS:-z\n\n", 1},
};

TEST(Help, ShownInsteadOfAJob) {
  for (const InfoCase& c : kInfoCases) {
    SCOPED_TRACE(c.name);
    sim::Rig rig;
    const sim::RunResult run = rig.runMain(c.args);
    EXPECT_EQ(run.result, c.status);
    EXPECT_EQ(run.console.substr(0, c.consoleStart.size()), c.consoleStart);
    ASSERT_GE(run.console.size(), c.consoleEnd.size());
    EXPECT_EQ(run.console.substr(run.console.size() - c.consoleEnd.size()), c.consoleEnd);
    EXPECT_TRUE(rig.bmc.received.empty());
  }
}

}  // namespace
