// The configuration driver's own decisions: module choice, files, the task
// set-up and the failures that must not end in a "Done." line.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "state/tool_context.h"
#include "config/config.h"
#include "config_rig.h"
#include "platform/host/host.h"

namespace configtest {
namespace {

using sim::ConfigOp;

struct ModuleTableCase {
  const char* name;
  ConfigModule slots[2];
  bool runs;
};

ConfigModule withName(const char* name, uint8_t enabled) {
  ConfigModule module = kConfigModule;
  module.name = name;
  module.enabled = enabled;
  return module;
}

TEST(ConfigDriver, ModuleSelection) {
  const ModuleTableCase cases[] = {
      {"built-in table", {kConfigModule, kEmptyConfigModule}, true},
      {"all empty", {kEmptyConfigModule, kEmptyConfigModule}, false},
      {"disabled", {withName("config", 0), kEmptyConfigModule}, false},
      {"enabled must be exactly 1", {withName("config", 2), kEmptyConfigModule}, false},
      {"operations without a name", {withName(nullptr, 1), kEmptyConfigModule}, false},
      {"second slot", {withName("config", 0), kConfigModule}, true},
  };
  for (const ModuleTableCase& scenario : cases) {
    ConfigRig bench;
    toolContext.configModules[0] = scenario.slots[0];
    toolContext.configModules[1] = scenario.slots[1];
    const sim::RunResult run = bench.backup();
    if (scenario.runs) {
      EXPECT_EQ(bench.rig.readFile("backup.bin"), bench.config.store) << scenario.name;
    } else {
      EXPECT_EQ(run.console, "unknown file type!!!\n" + kFailed) << scenario.name;
      EXPECT_TRUE(bench.requests().empty()) << scenario.name;
      EXPECT_FALSE(bench.rig.fileExists("backup.bin")) << scenario.name;
    }
  }
}

// A program starts from the bare tool state: its main entry installs the
// configuration module itself.
TEST(ConfigDriver, MainEntryInstallsTheModuleTable) {
  ConfigRig bench;
  clearToolContext();
  const sim::RunResult run = bench.rig.runMain({"Velkoran.efi", "-c", "-d", "backup.bin"});
  EXPECT_EQ(bench.rig.readFile("backup.bin"), bench.config.store);
}

TEST(ConfigDriver, FileThatCannotBeOpened) {
  struct Case {
    std::vector<std::string> arguments;
    std::string heading;
  };
  const Case cases[] = {
      {{"Velkoran.efi", "-c", "-f", "missing.bin"}, "=== IPMI Configuration Restore Mode ===\n"},
      {{"Velkoran.efi", "-c", "-d", "no-such-dir/backup.bin"},
       "=== IPMI Configuration Backup Mode ===\n"},
  };
  for (const Case& scenario : cases) {
    ConfigRig bench;
    const sim::RunResult run = bench.run(scenario.arguments);
    EXPECT_EQ(run.console, scenario.heading + "ERROR: OPEN FILE FAILED\n\n" + kFailed);
    EXPECT_TRUE(bench.rig.bmc.received.empty());
  }
}

TEST(ConfigDriver, RestoreFileOfFourGibibytesIsRefused) {
  ConfigRig bench;
  {
    std::ofstream create(bench.rig.directory() / "big.bin");
  }
  std::filesystem::resize_file(bench.rig.directory() / "big.bin", 0x100000000ull);
  const Bytes original = bench.config.store;
  const sim::RunResult run = bench.restore("big.bin");
  EXPECT_EQ(run.console, "=== IPMI Configuration Restore Mode ===\n"
                         "ERROR: RESTORE FILE TOO LARGE\n\n" +
                             kFailed);
  EXPECT_TRUE(bench.rig.bmc.received.empty());
  EXPECT_EQ(bench.config.store, original);
}

TEST(ConfigDriver, PrepareFailingBeforeATaskIdAbortsTaskZero) {
  struct Case {
    const char* name;
    ConfigOp failing;
    std::string console;  // after the heading lines
    size_t resets;
  };
  const Case cases[] = {
      {"reset", ConfigOp::Reset, repeat(kAbnormalC1, 5) + "Error: doIPMICmd failed\n", 5},
      // The open request gets a single attempt, judged by its reply length.
      {"open", ConfigOp::OpenBackup, kAbnormalC1 + "Error: inlen <= 0\n", 1},
  };
  for (const Case& scenario : cases) {
    ConfigRig bench;
    bench.config.knobs.faults[scenario.failing] = {0xC1, false, -1};
    const sim::RunResult run = bench.backup();
    EXPECT_EQ(run.console, kBackupHead + scenario.console + kFailed) << scenario.name;
    EXPECT_EQ(bench.countRequests(ConfigOp::Reset), scenario.resets) << scenario.name;
    EXPECT_EQ(bench.requests().back(), Bytes{0x03}) << scenario.name;
    EXPECT_EQ(bench.countRequests(ConfigOp::Start), 0u) << scenario.name;
    EXPECT_EQ(bench.rig.readFile("backup.bin.partial"), Bytes{}) << scenario.name;
    EXPECT_FALSE(bench.rig.fileExists("backup.bin")) << scenario.name;
  }
}

TEST(ConfigDriver, StartIsRetriedEveryTwoSeconds) {
  struct Case {
    int busyReplies;
    size_t starts;
    uint64_t waitedSeconds;
    bool succeeds;
  };
  const Case cases[] = {{0, 1, 0, true}, {3, 4, 6, true}, {4, 5, 8, true}, {5, 5, 10, false}};
  for (const Case& scenario : cases) {
    ConfigRig bench;
    bench.config.knobs.startBusyReplies = scenario.busyReplies;
    const uint64_t before = hostplatform::stalledMicros();
    const sim::RunResult run = bench.backup();
    const uint64_t waited = hostplatform::stalledMicros() - before;
    EXPECT_EQ(bench.countRequests(ConfigOp::Start), scenario.starts) << scenario.busyReplies;
    EXPECT_EQ(waited / 1000000, scenario.waitedSeconds) << scenario.busyReplies;
    if (scenario.succeeds) {
      EXPECT_EQ(bench.rig.readFile("backup.bin"), bench.config.store);
      EXPECT_EQ(run.console.substr(run.console.size() - kBackupDone.size()), kBackupDone);
    } else {
      EXPECT_EQ(run.console, kBackupHead + "Error: doIPMICmd failed\n" + kFailed);
      EXPECT_EQ(bench.requests().back(), Bytes{0x33});
    }
  }
}

TEST(ConfigDriver, FullVolumeFailsTheBackup) {
  // Whether the volume's refusal shows at the write or only when buffered
  // data is handed on, the block that did not fit is named.
  for (const bool lossShowsLate : {false, true}) {
    SCOPED_TRACE(lossShowsLate ? "buffered" : "unbuffered");
    ConfigRig bench;
    bench.config.knobs.backupChunkLengths = {60, 40};
    hostplatform::faults().writeLimit = 70;
    hostplatform::faults().writeLossShowsLate = lossShowsLate;
    const sim::RunResult run = bench.backup();
    const int shown = lossShowsLate ? 100 : 70;  // the bytes the write reported
    EXPECT_EQ(run.console, kBackupHead + totalLine(100) + progressLine(60, 60) +
                               "ERROR: WRITE BACKUP FILE FAILED\n\n" + progressLine(shown, shown) +
                               kFailed);
    EXPECT_EQ(bench.requests().back(), Bytes{0x33});
    const Bytes& store = bench.config.store;
    EXPECT_EQ(bench.rig.readFile("backup.bin.partial"), Bytes(store.begin(), store.begin() + 70));
  }
}

TEST(ConfigDriver, BackupWhoseCloseFailsIsNotDone) {
  ConfigRig bench;
  hostplatform::faults().closeFails = true;
  const sim::RunResult run = bench.backup();
  const std::string tail = "ERROR: CLOSE BACKUP FILE FAILED\n\n" + kFailed;
  ASSERT_GE(run.console.size(), tail.size());
  EXPECT_EQ(run.console.substr(run.console.size() - tail.size()), tail);
  EXPECT_EQ(bench.countRequests(ConfigOp::Abort), 0u);
}

TEST(ConfigDriver, RestoreIgnoresTheCloseOfItsInput) {
  ConfigRig bench;
  bench.rig.writeFile("restore.bin", patternBytes(10));
  hostplatform::faults().closeFails = true;
  const sim::RunResult run = bench.restore();
  EXPECT_EQ(run.console.substr(run.console.size() - kRestoreDone.size()), kRestoreDone);
}

TEST(ConfigDriver, TransportThatCannotBeOpened) {
  ConfigRig bench;
  bench.rig.writeFile("backup.bin", patternBytes(5));
  toolContext.dumpFile = "backup.bin";
  const size_t start = bench.rig.console.size();
  EXPECT_EQ(runConfigDriver([] { return false; }), -1);
  EXPECT_EQ(bench.rig.console.substr(start), "=== IPMI Configuration Backup Mode ===\n" + kFailed);
  // Nothing was received: no temporary file, the earlier backup as it was.
  EXPECT_FALSE(bench.rig.fileExists("backup.bin.partial"));
  EXPECT_EQ(bench.rig.readFile("backup.bin"), patternBytes(5));
  EXPECT_TRUE(bench.rig.bmc.received.empty());
}

TEST(ConfigDriver, MainEntryReturnsZeroAfterAFailedRun) {
  ConfigRig bench;
  bench.config.knobs.failStateAtBlock = 0;
  const sim::RunResult run = bench.rig.runMain({"Velkoran.efi", "-c", "-d", "backup.bin"});
  EXPECT_EQ(run.result, 0);
  EXPECT_NE(run.console.find(kFailed), std::string::npos);
}

}  // namespace
}  // namespace configtest

namespace configtest {
namespace {

// A backup takes the place of an earlier file only once it is complete: a
// failure leaves the earlier file as it was and what arrived under the
// temporary name.
TEST(ConfigDriver, FailedBackupKeepsTheEarlierFile) {
  struct Case {
    const char* name;
    std::function<void(ConfigRig&)> arrange;
    bool earlierFile;
    size_t arrived;  // bytes of the store the new file holds
    bool succeeds;
  };
  const auto silent = [](ConfigRig& b) { b.rig.bmc.faults.silentAll = true; };
  const auto taskFailsHalfWay = [](ConfigRig& b) {
    b.config.knobs.backupChunkLengths = {60, 40};
    b.config.knobs.failStateAtBlock = 1;
  };
  const Case cases[] = {
      {"BMC silent", silent, true, 0, false},
      {"task fails half-way", taskFailsHalfWay, true, 60, false},
      {"BMC silent, no earlier file", silent, false, 0, false},
      {"task fails, no earlier file", taskFailsHalfWay, false, 60, false},
      {"success replaces", [](ConfigRig&) {}, true, 100, true},
  };
  const Bytes earlier = patternBytes(500, 9);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigRig bench;
    c.arrange(bench);
    if (c.earlierFile) bench.rig.writeFile("backup.bin", earlier);
    const sim::RunResult run = bench.backup();
    EXPECT_EQ(run.console.ends_with(kFailed), !c.succeeds);
    const Bytes arrived(bench.config.store.begin(),
                        bench.config.store.begin() + static_cast<long>(c.arrived));
    if (c.succeeds) {
      EXPECT_EQ(bench.rig.readFile("backup.bin"), arrived);
      EXPECT_FALSE(bench.rig.fileExists("backup.bin.partial"));
    } else {
      EXPECT_EQ(bench.rig.fileExists("backup.bin"), c.earlierFile);
      if (c.earlierFile) {
        EXPECT_EQ(bench.rig.readFile("backup.bin"), earlier);
      }
      EXPECT_EQ(bench.rig.readFile("backup.bin.partial"), arrived);
    }
  }
}

// The complete backup stays under the temporary name when it cannot take
// the target's place; a folder as target is refused before anything exists.
TEST(ConfigDriver, BackupThatCannotTakeItsPlace) {
  ConfigRig bench;
  bench.rig.writeFile("backup.bin", patternBytes(5));
  hostplatform::faults().replaceFails = true;
  sim::RunResult run = bench.backup();
  EXPECT_TRUE(run.console.ends_with("ERROR: RENAME BACKUP FILE FAILED\n\n" + kFailed));
  EXPECT_EQ(bench.rig.readFile("backup.bin"), patternBytes(5));
  EXPECT_EQ(bench.rig.readFile("backup.bin.partial"), bench.config.store);

  std::filesystem::create_directory(bench.rig.directory() / "folder");
  run = bench.backup("folder");
  EXPECT_EQ(run.console,
            "=== IPMI Configuration Backup Mode ===\nERROR: OPEN FILE FAILED\n\n" + kFailed);
  EXPECT_TRUE(std::filesystem::is_directory(bench.rig.directory() / "folder"));
  EXPECT_FALSE(bench.rig.fileExists("folder.partial"));
}

}  // namespace
}  // namespace configtest
