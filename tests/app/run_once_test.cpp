// What a run does to the machine after its job: a refused command line,
// --help and --version never restart, power off or remove a boot entry,
// whatever the order of the options; --once removes the entry that started
// a job, before the restart or power-off, and is refused in a shell.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli_support.h"
#include "platform/host/host.h"

namespace {

using platform::BootEntryRemoval;

struct AfterRunCase {
  const char* name;
  std::vector<std::string> args;
  bool byBootManager;
  std::string machine;  // what the machine was asked, in order
  std::string lastLine;  // the console's last non-empty line
};

const std::string kNoSuchOption = "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-Z";
const std::string kRemoved =
    "The boot entry Boot0100 is removed: it does not start this program again";

const AfterRunCase kCases[] = {
    {"power-off before a typo", {"--poweroff", "-Z"}, true, "", kNoSuchOption},
    {"power-off after a typo", {"-Z", "--poweroff"}, true, "", kNoSuchOption},
    {"restart with a bad value", {"--reboot", "-f", "absent.bin", "-r", "Y"}, true, "",
     "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n"},
    {"power-off with --help", {"--poweroff", "--help"}, true, "", ""},
    {"restart with --version", {"--reboot", "--once", "--version"}, true, "", ""},
    {"a file for nothing", {"--once", "--poweroff", "-c"}, true, "", ""},
    {"a failed job goes once", {"--once", "--poweroff", "-f", "absent.bin"}, true,
     "remove Boot0100;poweroff;", kRemoved},
    {"the entry goes before the restart", {"-f", "absent.bin", "--reboot", "--once"}, true,
     "remove Boot0100;restart;", kRemoved},
    {"a typo keeps the entry", {"--once", "-f", "absent.bin", "--reboot", "-Z"}, true, "",
     kNoSuchOption},
    {"in a shell --once is refused", {"--once", "-f", "absent.bin", "--poweroff"}, false, "",
     "ERROR:PLEASE USE --once ONLY WHEN THE BOOT MANAGER STARTS THE PROGRAM, NOT IN A SHELL"},
};

std::string lastLine(const std::string& console) {
  size_t end = console.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  const size_t start = console.rfind('\n', end);
  return console.substr(start == std::string::npos ? 0 : start + 1,
                        end + 1 - (start == std::string::npos ? 0 : start + 1));
}

TEST(AfterTheJob, OnlyAJobRestartsPowersOffOrRemovesItsEntry) {
  for (const AfterRunCase& c : kCases) {
    SCOPED_TRACE(c.name);
    sim::Rig rig;
    hostplatform::bootStart() = {c.byBootManager, 0x100, BootEntryRemoval::kRemoved};
    hostplatform::machineEnds().clear();
    std::vector<std::string> args = {"Velkoran.efi"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const sim::RunResult run = rig.runMain(args);
    EXPECT_EQ(hostplatform::machineEnds(), c.machine);
    if (!c.lastLine.empty()) {
      EXPECT_EQ(lastLine(run.console), c.lastLine);
    }
    hostplatform::bootStart() = {};
  }
}

struct RemovalCase {
  int number;
  BootEntryRemoval removal;
  std::string line;
};

// The log keeps what became of the entry, as the last line of its run.
TEST(AfterTheJob, TheLogTellsWhatBecameOfTheEntry) {
  const RemovalCase cases[] = {
      {0x100, BootEntryRemoval::kRemoved, kRemoved},
      {-1, BootEntryRemoval::kNoEntry, "WARNING: NO BOOT ENTRY STARTED THIS PROGRAM, NONE IS REMOVED"},
      {0x1, BootEntryRemoval::kNotThisProgram,
       "WARNING: THE BOOT ENTRY Boot0001 DOES NOT NAME THIS PROGRAM, IT IS KEPT"},
      {0xABCD, BootEntryRemoval::kFailed,
       "WARNING: THE BOOT ENTRY BootABCD CANNOT BE REMOVED, IT STARTS THIS PROGRAM AGAIN"},
  };
  for (const RemovalCase& c : cases) {
    SCOPED_TRACE(c.line);
    sim::Rig rig;
    hostplatform::bootStart() = {true, c.number, c.removal};
    rig.runMain({"Velkoran.efi", "-f", "absent.bin", "--once", "--log", "run.log"});
    const sim::Bytes bytes = rig.readFile("run.log");
    const std::string log(bytes.begin(), bytes.end());
    const size_t end = log.rfind("[velkoran] end ");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(lastLine(log.substr(0, end)), c.line);
    hostplatform::bootStart() = {};
  }
}

}  // namespace

namespace {

// With no BMC nothing arrives: a backup leaves no empty temporary file for a
// later look to take for a backup.
TEST(AfterTheJob, BackupWithNoBmcLeavesNoFile) {
  sim::Rig rig;
  hostplatform::setPortDevice(nullptr);
  rig.runMain({"Velkoran.efi", "-c", "-d", "b.bin"});
  EXPECT_FALSE(rig.fileExists("b.bin.partial"));
  EXPECT_FALSE(rig.fileExists("b.bin"));
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kNoAnswer);
}

}  // namespace
