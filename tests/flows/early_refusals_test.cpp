// Command lines that cannot work are refused before the BMC is asked for
// anything: a log or a verified image that is one of the job's own files,
// a wait that no mode would make, an image to verify that cannot be read.
// And --status, wherever it stands, reports every outcome.
#include <unistd.h>

#include <string>
#include <vector>

#include "app/cli_support.h"
#include "app/run_lifecycle.h"
#include "support/flow_fixture.h"

namespace flowtest {
namespace {

std::string shared(const std::string& option, const std::string& name, const std::string& file) {
  return kBanner + "ERROR:" + option + " " + name + " IS THE SAME FILE AS " + file + "\n\n";
}

const std::string kWaitRefused =
    kBanner + "ERROR:PLEASE USE --wait-bmc ONLY WITH -f FILE, NOT WITH -c OR -d\n\n";

std::string unreadableImage(const std::string& name) {
  return kBanner + "Velkoran.efi -d dump.bin --verify " + name + " --status \n" +
         "ERROR: CANNOT READ THE IMAGE FILE " + name + "\n\n";
}

struct EarlyCase {
  const char* name;
  std::vector<std::string> args;  // --status is added at the end
  std::string console;
  int status;
};

const EarlyCase kEarly[] = {
    {"log into the image", {"-f", "fw.bin", "--log", "fw.bin"}, shared("--log", "fw.bin", "fw.bin"), 1},
    {"log into the image by another name", {"-f", "fw.bin", "--log", "./fw-link.bin"},
     shared("--log", "./fw-link.bin", "fw.bin"), 1},
    {"log into the restore file", {"-c", "-f", "cfg.bin", "--log=cfg.bin"},
     shared("--log", "cfg.bin", "cfg.bin"), 1},
    {"log into the dump", {"-d", "dump.bin", "--log", "dump.bin"}, shared("--log", "dump.bin", "dump.bin"), 1},
    {"log into the dump's temporary file", {"-d", "dump.bin", "--log", "dump.bin.partial"},
     shared("--log", "dump.bin.partial", "dump.bin.partial"), 1},
    {"log into the backup's temporary file", {"-c", "-d", "sub/../cfg.bin", "--log", "cfg.bin.partial"},
     shared("--log", "cfg.bin.partial", "sub/../cfg.bin.partial"), 1},
    {"log into the image to verify", {"-d", "dump.bin", "--verify", "fw.bin", "--log", "fw.bin"},
     shared("--log", "fw.bin", "fw.bin"), 1},
    {"verify the dump against itself", {"-d", "fw.bin", "--verify", "fw.bin"},
     shared("--verify", "fw.bin", "fw.bin"), 1},
    {"verify the dump's temporary file", {"-d", "dump.bin", "--verify=dump.bin.partial"},
     shared("--verify", "dump.bin.partial", "dump.bin.partial"), 1},
    {"no log into the image when the parser stops", {"-f", "fw.bin", "--log", "fw.bin", "-x"},
     kBanner + "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x\n\n", 1},
    {"wait after a dump", {"-d", "dump.bin", "--wait-bmc"}, kWaitRefused, 1},
    {"wait after a dump that an image also names", {"-d", "dump.bin", "-f", "fw.bin", "--wait-bmc"},
     kWaitRefused, 1},
    {"wait after a backup", {"-c", "-d", "backup.bin", "--wait-bmc=30"}, kWaitRefused, 1},
    {"wait after a restore", {"-c", "-f", "cfg.bin", "--wait-bmc"}, kWaitRefused, 1},
    {"wait after the identity", {"--bmc-info", "--wait-bmc"}, kWaitRefused, 1},
    {"report into the log", {"--bmc-info", "--log", "run.log", "--report", "./run.log"},
     kBanner + "ERROR:PLEASE GIVE --report A FILE OF ITS OWN\n\n", 1},
    {"image to verify missing", {"-d", "dump.bin", "--verify", "absent.bin"},
     unreadableImage("absent.bin"), 2},
    {"image to verify a folder", {"-d", "dump.bin", "--verify", "sub"}, unreadableImage("sub"), 2},
};

TEST_F(FlowTest, RefusedBeforeTheBmcIsAskedForAnything) {
  const Bytes image = makeImage(0xA000, 0, tableText({{0x8000, 100}}));
  const Bytes backup(300, 0x5A);
  writeFile("fw.bin", image);
  writeFile("cfg.bin", backup);
  rig.makeDirectory("sub");
  ASSERT_EQ(link("fw.bin", "fw-link.bin"), 0);
  for (const EarlyCase& c : kEarly) {
    SCOPED_TRACE(c.name);
    reset();
    std::vector<std::string> args = c.args;
    args.push_back("--status");
    run(args);
    EXPECT_EQ(console, c.console);
    EXPECT_EQ(endRunRecord(), c.status);
    EXPECT_TRUE(bmc.received.empty());
    EXPECT_EQ(waitedSeconds(), 0u);
    EXPECT_EQ(readFile("fw.bin"), image);
    EXPECT_EQ(readFile("cfg.bin"), backup);
    for (const char* made : {"dump.bin", "dump.bin.partial", "cfg.bin.partial"}) {
      EXPECT_FALSE(rig.fileExists(made)) << made;
    }
  }
}

struct StatusCase {
  std::vector<std::string> args;
  int status;
};

TEST_F(FlowTest, StatusAnywhereReportsTheBadCommandLine) {
  const StatusCase cases[] = {
      {{"-x", "--status"}, 1},
      {{"--status", "-x"}, 1},
      {{"-f", "fw.bin", "--log", "--status"}, 1},
      {{"-i", "LAN", "--status", "-f", "fw.bin"}, 1},
      {{"-r", "Y", "-f", "fw.bin", "--status"}, 1},
      {{"-h", "host", "--status"}, 1},
      {{"-f", "--status"}, 0},  // a file of that name, not the option
  };
  for (const StatusCase& c : cases) {
    std::string trace;
    for (const std::string& arg : c.args) trace += arg + " ";
    SCOPED_TRACE(trace);
    reset();
    run(c.args);
    EXPECT_EQ(endRunRecord(), c.status);
    EXPECT_FALSE(rig.fileExists("--status"));
  }
}

}  // namespace
}  // namespace flowtest
