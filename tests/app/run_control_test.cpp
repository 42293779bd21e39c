#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/function_transport.h"
#include "app/cli_support.h"
#include "transport/kcs.h"

namespace {

struct OutcomeCase {
  const char* name;
  std::vector<std::string> args;
  int result;
  std::string console;
};

const OutcomeCase kOutcomes[] = {
    {"no arguments", {"Velkoran.efi"}, 0, kBanner},
    {"config without file", {"Velkoran.efi", "-c", "-r", "n"}, 0, kBanner},
    {"only interface options", {"Velkoran.efi", "-i", "kcs", "-h", "h", "-u", "u", "-p", "p"}, 0, kBanner},
    {"unknown option", {"Velkoran.efi", "-z"}, 0,
     kBanner + "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-z\n\n"},
    {"bad interface", {"Velkoran.efi", "-i", "LAN", "-f", "x"}, 0,
     kBanner + "ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n"},
    {"bad preserve", {"Velkoran.efi", "-r", "Y", "-f", "x"}, 0,
     kBanner + "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n"},
    {"lan without host", {"Velkoran.efi", "-i", "lan", "-f", "x"}, 0,
     "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n" + kBanner},
    {"lan without user", {"Velkoran.efi", "-i", "lan", "-f", "x", "-h", "10.0.0.1", "-p", "pw"}, 0,
     "ERROR:PLEASE ENTER THE USER NAME\n\n" + kBanner},
    {"lan without password", {"Velkoran.efi", "-i", "lan", "-f", "x", "-h", "10.0.0.1", "-u", "admin"}, 0,
     "ERROR:PLEASE ENTER THE PASSWORD\n\n" + kBanner},
};

TEST(RunControl, OutcomesBeforeAnyMode) {
  for (const OutcomeCase& c : kOutcomes) {
    SCOPED_TRACE(c.name);
    sim::Rig rig;
    sim::RunResult run = rig.run(c.args);
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.console, c.console);
  }
}

TEST(RunControl, PreserveDefaultsToKeep) {
  for (const auto& [preserveOption, expected] :
       {std::pair<std::vector<std::string>, int>{{}, 1}, {{"-r", "y"}, 1}, {{"-r", "n"}, 0}}) {
    sim::Rig rig;
    std::vector<std::string> args = {"Velkoran.efi", "-f", "missing-image.bin"};
    args.insert(args.end(), preserveOption.begin(), preserveOption.end());
    rig.run(args);
    EXPECT_EQ(toolContext.preserveConfig, expected);
  }
}

TEST(RunControl, BindsTheKcsTransportAndEchoesTheCommandLine) {
  sim::Rig rig;
  sim::RunResult run = rig.run({"FS0:\\Velkoran.efi", "-i", "kcs", "-h", "10.0.0.1", "-u", "admin",
                               "-p", "pw", "-f", "missing-image.bin"});
  // The password is never shown.
  const std::string echo =
      "FS0:\\Velkoran.efi -i kcs -h 10.0.0.1 -u admin -p ******** -f missing-image.bin \n";
  EXPECT_EQ(run.console.substr(0, kBanner.size() + echo.size()), kBanner + echo);
}

TEST(RunControl, LanWithoutAWayThereIsRefusedBeforeAnythingIsSent) {
  for (const char* job : {"-f", "--bmc-info"}) {
    sim::Rig rig;
    std::vector<std::string> args = {"Velkoran.efi", "-i", "lan", "-h", "10.0.0.1", "-u", "admin",
                                     "-p", "pw", job};
    if (std::string(job) == "-f") args.push_back("image.bin");
    sim::RunResult run = rig.run(args);
    EXPECT_EQ(run.console,
              "ERROR:THIS PROGRAM REACHES THE BMC OVER KCS ONLY, USE velkoran FOR LINUX FOR -i "
              "lan\n\n" + kBanner) << job;
    EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kBadCommandLine) << job;
    EXPECT_EQ(rig.bmc.received.size(), 0u) << job;
  }
}

bool passwordAlreadyGiven() { return true; }

// Where LAN is offered, a longer host, user name or password is refused,
// never cut; without it the old 15 bytes are kept.
TEST(RunControl, LanSettingsAreRefusedWhenTooLongNeverCut) {
  struct Case {
    const char* option;
    size_t length;
    const char* line;
  };
  const Case cases[] = {
      {"-h", 255, nullptr},
      {"-h", 256, "ERROR:THE HOST NAME IS LONGER THAN 255 BYTES\n\n"},
      {"-u", 16, nullptr},
      {"-u", 17, "ERROR:THE USER NAME IS LONGER THAN 16 BYTES\n\n"},
      {"-p", 20, nullptr},
      {"-p", 21, "ERROR:THE PASSWORD IS LONGER THAN 20 BYTES\n\n"},
  };
  for (const Case& c : cases) {
    const std::string value(c.length, 'a');
    std::vector<std::string> args = {"velkoran", "-i", "kcs", c.option, value};
    if (std::string(c.option) == "-h") args.push_back("623");
    offerLan(passwordAlreadyGiven);
    sim::Rig rig;
    const sim::RunResult run = rig.run(args);
    offerLan(nullptr);
    if (c.line != nullptr) {
      EXPECT_NE(run.console.find(c.line), std::string::npos) << c.line;
    }
    const char* field = c.option[1] == 'h'   ? toolContext.host
                        : c.option[1] == 'u' ? toolContext.userName
                                             : toolContext.password;
    EXPECT_EQ(c.line ? "" : value, std::string(field)) << c.option << c.length;
    sim::Rig kcsOnly;
    kcsOnly.run(args);
    EXPECT_EQ(value.substr(0, 15), std::string(c.option[1] == 'h'   ? toolContext.host
                                               : c.option[1] == 'u' ? toolContext.userName
                                                                    : toolContext.password));
  }
}

TEST(RunControl, PasswordIsShownAsStarsWhereverItIsAnOptionValue) {
  struct Case {
    std::vector<const char*> args;
    int index;
    const char* shown;
  };
  const Case cases[] = {
      {{"v", "-p", "secret"}, 2, "********"},
      {{"v", "-u", "-p", "-f", "x"}, 2, "-p"},  // the user name is "-p"
      {{"v", "-h", "host", "-p", "pw"}, 4, "********"},
      {{"v", "-h", "host", "623", "-p", "pw"}, 5, "********"},
      {{"v", "--log", "-p"}, 2, "-p"},
      {{"v", "-p"}, 1, "-p"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    EXPECT_STREQ(c.shown, shownArgument(static_cast<int>(argv.size()), argv.data(), c.index))
        << c.args[c.index];
  }
}

int offeredOpens = 0;
int refusingOpen() {
  ++offeredOpens;
  return -1;
}
int unusedTransfer(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t*) { return -1; }
int unusedClose() { return 0; }

TEST(RunControl, BindsTheTransportThePlatformOffers) {
  static constexpr TransportFunctions kRefusing = {refusingOpen, unusedTransfer, unusedClose};
  offerTransport(functionTransport(&kRefusing));
  sim::Rig rig;
  sim::RunResult run = rig.run({"velkoran", "-d", "dump.bin"});
  offerTransport(kcsTransport());
  EXPECT_EQ(offeredOpens, 1);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.console, kBanner + "velkoran -d dump.bin \n");
  EXPECT_EQ(rig.bmc.received.size(), 0u);
}

}  // namespace
