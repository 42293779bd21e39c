// The options for unattended use, run against the simulated BMC: the exit
// status of every outcome, the run log, waiting for the BMC after an update,
// verifying a dump and answering the USB prompt.
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/run.h"
#include "app/run_lifecycle.h"
#include "platform/calendar.h"
#include "platform/host/host.h"
#include "platform/host/host_time.h"
#include "sim/config_bmc.h"
#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "support/reply_rewriter.h"
#include "support/report_reader.h"
#include "transport/ipmi_wire.h"

namespace flowtest {
namespace {

// One second before a new year: the log's times carry over into it.
const platform::CalendarTime kStart = {2026, 12, 31, 23, 59, 59};

// Table in page 0; regions 0x8000 (100 bytes), 0x9000 (2000 bytes) and the
// table page (256 KiB, past the end of the file).
const std::vector<TableEntry> kTwoParts = {{0x8000, 100, "a.bin"}, {0x9000, 2000, "b.bin"}};

class UnattendedTest : public FlowTest {
 public:
  UnattendedTest() { hostplatform::setFakeLocalTime(&kStart); }
  ~UnattendedTest() override { hostplatform::setFakeLocalTime(nullptr); }

  sim::ConfigBmc config{bmc};
  Bytes image = makeImage(0xA000, 0, tableText(kTwoParts));

  // A fresh BMC that is not in the middle of a reboot from the last case.
  void freshBmc() {
    reset();
    rig.kcs.setEndpoint(&bmc);
    platform::delaySeconds(3600);
    bmc.faults = sim::Bmc::Faults{};
    rig.app.knobs = sim::AppBmc::Knobs{};
  }
  // Get Device ID answers busy after the question before the update.
  void busyAnswers(int busy, bool thenSilent) {
    rewriter.emplace(bmc, simtest::busyDeviceId(1, busy, thenSilent));
    rig.kcs.setEndpoint(&*rewriter);
  }
  std::optional<simtest::ReplyRewriter> rewriter;

  // The exit status the main entry gives for the run just made.
  int status() const { return endRunRecord(); }
  std::string text(const std::string& name) const {
    Bytes bytes = readFile(name);
    return std::string(bytes.begin(), bytes.end());
  }
  void update(std::vector<std::string> extra = {}) {
    writeFile("fw.bin", image);
    std::vector<std::string> args{"-f", "fw.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    run(args);
  }
};

struct OutcomeCase {
  const char* name;
  std::vector<std::string> args;  // --status is added
  std::function<void(UnattendedTest&)> arrange;
  int status;
};

const OutcomeCase kOutcomes[] = {
    {"update done", {"-f", "fw.bin"}, nullptr, 0},
    {"backup done", {"-c", "-d", "backup.bin"}, nullptr, 0},
    {"dump verified equal", {"-d", "dump.bin", "--verify", "fw.bin"},
     [](UnattendedTest& t) { t.firmware.flash = t.image; }, 0},
    {"unknown option", {"-f", "fw.bin", "--bogus"}, nullptr, 1},
    {"no file", {"-r", "n"}, nullptr, 1},
    {"verify without a dump", {"-f", "fw.bin", "--verify", "fw.bin"}, nullptr, 1},
    {"image missing", {"-f", "absent.bin"}, nullptr, 2},
    {"dump not writable", {"-d", "no-dir/dump.bin"}, nullptr, 2},
    {"backup not writable", {"-c", "-d", "no-dir/backup.bin"}, nullptr, 2},
    {"image without a table", {"-f", "fw.bin"},
     [](UnattendedTest& t) { t.image = makeImage(0xA000, 0, "no table here"); }, 2},
    {"silent BMC", {"-f", "fw.bin"}, [](UnattendedTest& t) { t.bmc.faults.silentAll = true; }, 3},
    {"silent BMC during a backup", {"-c", "-d", "backup.bin"},
     [](UnattendedTest& t) { t.bmc.faults.silentAll = true; }, 3},
    {"another user updating", {"-f", "fw.bin"},
     [](UnattendedTest& t) { t.firmware.knobs.infoCompletionCode = 0xDF; }, 4},
    {"package rejected", {"-f", "fw.bin"},
     [](UnattendedTest& t) { t.firmware.knobs.reject = sim::FirmwareBmc::Rejection{1, 2}; }, 4},
    {"usb variant", {"-i", "usb", "-f", "fw.bin", "--yes"}, nullptr, 2},
    {"dump differs", {"-d", "dump.bin", "--verify", "fw.bin"},
     [](UnattendedTest& t) { t.firmware.flash = Bytes(0xA000, 0xFF); }, 5},
    {"BMC not back", {"-f", "fw.bin", "--wait-bmc=60"},
     [](UnattendedTest& t) { t.rig.app.knobs.rebootMicros = 3600'000'000; }, 6},
    {"no memory", {"-f", "fw.bin"},
     [](UnattendedTest&) { hostplatform::faults().failAllocationOfSize = 0x8000; }, 7},
};

TEST_F(UnattendedTest, EveryOutcomeHasItsStatusOnlyWhenAsked) {
  for (const OutcomeCase& c : kOutcomes) {
    for (bool asked : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (asked ? " with --status" : " without"));
      freshBmc();
      image = makeImage(0xA000, 0, tableText(kTwoParts));
      if (c.arrange) c.arrange(*this);
      writeFile("fw.bin", image);
      std::vector<std::string> args = c.args;
      if (asked) args.insert(args.begin(), "--status");
      run(args);
      EXPECT_EQ(status(), asked ? c.status : 0);
    }
  }
}

// Every outcome, also a command line refused before --report is reached,
// leaves a document Python reads whose class is the exit status.
TEST_F(UnattendedTest, EveryOutcomeGivesAReportOfItsClass) {
  for (const OutcomeCase& c : kOutcomes) {
    SCOPED_TRACE(c.name);
    freshBmc();
    image = makeImage(0xA000, 0, tableText(kTwoParts));
    if (c.arrange) c.arrange(*this);
    writeFile("fw.bin", image);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--status");
    args.insert(args.end(), {"--report", "report.json"});
    std::remove("report.json");
    run(args);
    const int exitStatus = status();
    EXPECT_EQ(exitStatus, c.status);
    const std::string name = outcomeName(static_cast<RunOutcome>(exitStatus));
    EXPECT_EQ(reportMembers("report.json", {"schema", "outcome"}),
              "1\n{\"class\": " + std::to_string(exitStatus) + ", \"name\": \"" + name + "\"}");
  }
}

TEST_F(UnattendedTest, PlatformDefaultReportsWithoutTheOption) {
  std::vector<std::string> storage = {"Velkoran.efi", "-f", "absent.bin"};
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  EXPECT_EQ(velkoranMain(3, argv.data(), true), 2);
  EXPECT_EQ(velkoranMain(3, argv.data(), false), 0);
}

TEST_F(UnattendedTest, WithoutTheNewOptionsConsoleAndWireAreUnchanged) {
  update();
  const std::string plainConsole = afterEcho();
  const std::vector<Bytes> plainWire = bmc.received;
  reset();
  update({"--status", "--log", "run.log", "--reboot", "--report", "run.json"});
  EXPECT_EQ(afterEcho(), plainConsole);
  EXPECT_EQ(bmc.received, plainWire);
}

struct MachineEndCase {
  const char* name;
  std::vector<std::string> args;
  std::string ends;  // what the machine was asked, after the log's last line
};

const MachineEndCase kMachineEnds[] = {
    {"update, then restart", {"-f", "fw.bin", "--reboot"}, "restart;"},
    {"backup ends the program itself", {"-c", "-d", "b.bin", "--poweroff"}, "poweroff;"},
    {"failed update still powers off", {"-f", "absent.bin", "--poweroff"}, "poweroff;"},
    {"the later option wins", {"--poweroff", "-f", "fw.bin", "--reboot"}, "restart;"},
    {"without either it returns", {"-f", "fw.bin"}, ""},
};

TEST_F(UnattendedTest, RestartOrPowerOffOnceTheRunIsRecorded) {
  int index = 0;
  for (const MachineEndCase& c : kMachineEnds) {
    SCOPED_TRACE(c.name);
    freshBmc();
    resetToolContext();
    writeFile("fw.bin", image);
    hostplatform::machineEnds().clear();
    const std::string log = "m" + std::to_string(index++) + ".log";
    std::vector<std::string> args = {"Velkoran.efi", "--log", log};
    args.insert(args.end(), c.args.begin(), c.args.end());
    rig.runMain(args);
    EXPECT_EQ(hostplatform::machineEnds(), c.ends);
    EXPECT_NE(text(log).find("] end "), std::string::npos);
  }
}

TEST_F(UnattendedTest, LogRecordsEachRunAsItsConsoleFinallyStood) {
  update({"--log", "run.log"});
  firmware.knobs.infoCompletionCode = 0xDF;
  update({"--log=run.log", "--status"});
  const std::string log = text("run.log");
  const std::string firstRun =
      "[velkoran] start 2026-12-31 23:59:59 version 2.08 command: Velkoran.efi -f fw.bin --log run.log\n";
  ASSERT_EQ(log.substr(0, firstRun.size()), firstRun);
  const std::string middle =
      "Velkoran.efi -f fw.bin --log run.log\n"
      "Check if this file is valid................\n"
      "If the FW update fails,PLEASE TRY AGAIN\n"
      "Load part 0      100 bytes, [Ok]\n"
      "Load part 1     2000 bytes, [Ok]\n"
      "Load part 2   262144 bytes, [Ok]\n"
      "\n\n\n"
      "If the FW update fails. PLEASE WAIT 5 MINS AND REMOVE THE AC...\n"
      "new firmware is updating...100%\n"
      "Update Complete,Please wait for BMC reboot, about 1 min\n"
      "[velkoran] end 2027-01-01 00:00:00 outcome 0 success elapsed 1 s\n"
      "[velkoran] start 2027-01-01 00:00:00 version 2.08 command: Velkoran.efi -f fw.bin "
      "--log=run.log --status\n";
  EXPECT_NE(log.find(middle), std::string::npos) << log;
  const std::string secondEnd =
      "Velkoran.efi -f fw.bin --log=run.log --status\n"
      "\xE2\x80\x9CWarning!\nAnother user is updating!\nPlease wait for the BMC to restart!\xE2\x80\x9D\n"
      "[velkoran] end 2027-01-01 00:00:00 outcome 4 refused elapsed 0 s\n";
  ASSERT_GE(log.size(), secondEnd.size());
  EXPECT_EQ(log.substr(log.size() - secondEnd.size()), secondEnd);
}

TEST_F(UnattendedTest, LogThatCannotBeWrittenIsReportedOnceAndTheJobGoesOn) {
  for (const char* name : {"no-dir/run.log", "/dev/full"}) {
    SCOPED_TRACE(name);
    reset();
    update({"--log", name, "--status"});
    const std::string warning = std::string("WARNING: THE LOG FILE ") + name +
                                " CANNOT BE WRITTEN, THE RUN GOES ON WITHOUT IT\n";
    EXPECT_EQ(console.find(warning), console.rfind(warning));
    EXPECT_NE(console.find(warning), std::string::npos);
    EXPECT_TRUE(firmware.updateComplete());
    EXPECT_EQ(status(), 0);
  }
}

std::string notice(unsigned secondsLeft) {
  return "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO " +
         std::to_string(secondsLeft) + " SECONDS\n";
}

struct WaitCase {
  const char* name;
  uint64_t rebootSeconds;
  std::function<void(UnattendedTest&)> arrange;
  uint32_t waitSeconds;
  std::string lastLines;
  int status;
  const char* available;  // the report's bmc_available
};

const WaitCase kWaits[] = {
    // Questions at 5 s, then every 15 s: a 5-second pause after the 10 s the
    // transport spends on a silent BMC. The first fails at 15 s, past the
    // notice's 10 s.
    {"back after the update", 30, nullptr, 600,
     kTransportError + notice(585) + kTransportError +
         "BMC answered after 35 seconds: firmware revision 7.13, before 7.12\n", 0, "true"},
    {"no reboot at all", 0, nullptr, 20,
     "BMC answered after 5 seconds: firmware revision 7.13, before 7.12\n", 0, "true"},
    {"not back in time", 600, nullptr, 40,
     kTransportError + notice(25) + kTransportError + kTransportError +
         "ERROR: THE BMC DID NOT ANSWER WITHIN 40 SECONDS\n\n", 6, "null"},
    {"back after the cold reset of a rejected update", 12,
     [](UnattendedTest& t) { t.firmware.knobs.reject = sim::FirmwareBmc::Rejection{0, 1}; }, 100,
     kTransportError + notice(85) +
         "BMC answered after 20 seconds: firmware revision 7.12, before 7.12\n", 4, "true"},
    // Busy (update or initialisation in progress) for the first questions:
    // not back until the bit clears.
    {"busy, then available", 0, [](UnattendedTest& t) { t.busyAnswers(3, false); }, 60,
     "BMC answered after 20 seconds: firmware revision 7.13, before 7.12\n", 0, "true"},
    {"busy to the end", 0, [](UnattendedTest& t) { t.busyAnswers(1000, false); }, 60,
     "ERROR: THE BMC ANSWERED BUT STAYED BUSY (UPDATE OR INITIALISATION IN PROGRESS) FOR 55 "
     "SECONDS\n\n", 6, "false"},
    {"busy, then silent", 0, [](UnattendedTest& t) { t.busyAnswers(2, true); }, 30,
     kTransportError + notice(5) + kTransportError +
         "ERROR: THE BMC DID NOT ANSWER WITHIN 30 SECONDS\n\n", 6, "false"},
};

TEST_F(UnattendedTest, WaitsForTheBmcAfterTheUpdateWithinItsBound) {
  for (const WaitCase& c : kWaits) {
    SCOPED_TRACE(c.name);
    freshBmc();
    rig.app.knobs = sim::AppBmc::Knobs{{7, 0x12}, std::nullopt, c.rebootSeconds * 1'000'000};
    if (c.arrange) c.arrange(*this);
    const uint64_t before = hostplatform::nowMicros();
    update({"--wait-bmc=" + std::to_string(c.waitSeconds), "--status", "--report", "r.json"});
    const uint64_t spentSeconds = (hostplatform::nowMicros() - before) / 1'000'000;
    EXPECT_EQ(afterEcho().rfind("BMC firmware revision before the update: 7.12\n", 0), 0u);
    const std::string tail = afterEcho().substr(afterEcho().find("Waiting for the BMC"));
    EXPECT_EQ(tail.substr(tail.find('\n') + 1), c.lastLines);
    EXPECT_EQ(status(), c.status);
    EXPECT_EQ(reportMembers("r.json", {"bmc_available"}), c.available);
    // The update itself takes a second or two; a question asked just before
    // the bound may take the transport's 10 s more.
    EXPECT_LE(spentSeconds, c.waitSeconds + 13u) << "the wait is bounded";
  }
}

// The wall clock jumps an hour either way while the BMC reboots (a
// daylight-saving change, a clock set by the network): the wait keeps its
// bound and the log its elapsed time, both measured on the monotonic clock.
TEST_F(UnattendedTest, WallClockJumpsMoveNeitherTheWaitNorTheElapsedTime) {
  for (const int64_t jump : {3600, -3600}) {
    SCOPED_TRACE(jump);
    freshBmc();
    rig.app.knobs = sim::AppBmc::Knobs{{7, 0x12}, std::nullopt, 30'000'000};
    // At the first question of the wait, which the rebooting BMC ignores.
    const std::function<bool()> answers = bmc.available;
    bool jumped = false;
    bmc.available = [&] {
      const bool up = answers();
      if (!up && !jumped) {
        jumped = true;
        platform::CalendarTime now;
        platform::localTime(&now);
        const platform::CalendarTime moved = calendar::fromSeconds(calendar::toSeconds(now) + jump);
        hostplatform::setFakeLocalTime(&moved);
      }
      return up;
    };
    const std::string log = "jump" + std::to_string(jump) + ".log";
    update({"--wait-bmc=600", "--status", "--log", log});
    bmc.available = answers;
    EXPECT_TRUE(jumped);
    EXPECT_NE(afterEcho().find("BMC answered after 35 seconds: firmware revision 7.13"),
              std::string::npos);
    EXPECT_EQ(status(), 0);
    EXPECT_NE(text(log).find(" outcome 0 success elapsed 36 s\n"), std::string::npos) << text(log);
  }
}

TEST_F(UnattendedTest, VerifyComparesOnlyTheBytesTheImageHolds) {
  firmware.flash = image;
  for (size_t n = 5; n < 8; ++n) firmware.flash[0x9000 + n] ^= 0x55;
  firmware.flash.resize(0x9100);  // the dump lacks the rest of region 1
  writeFile("fw.bin", image);
  run({"-d", "dump.bin", "--verify", "fw.bin", "--status"});
  const std::string verdicts =
      "Verify dump.bin against fw.bin\n"
      "Region 0 at 0x8000, 100 bytes: equal\n"
      "Region 1 at 0x9000, 2000 bytes: 1747 bytes differ, the first at 0x9005\n"
      "Region 2 at 0x0, 40960 bytes: 3843 bytes differ, the first at 0x9005\n";
  ASSERT_GE(console.size(), verdicts.size());
  EXPECT_EQ(console.substr(console.size() - verdicts.size()), verdicts);
  EXPECT_EQ(status(), 5);
  EXPECT_EQ(bmc.countOf(kNetFnLunOem, kCmdGetFWUpdateInfo), 0);
}

TEST_F(UnattendedTest, YesAnswersTheUsbPromptWithoutAKey) {
  run({"-i", "usb", "-f", "fw.bin", "--yes"});
  EXPECT_EQ(afterEcho(),
            "Press any to continue name fw.bin\n(answered by --yes)\nERROR: OPEN BINARY FILE FAILED\n\n");
  EXPECT_EQ(bmc.countOf(kNetFnLunOem, kCmdGetUSBFWUpdateInfo), 0);
}

}  // namespace
}  // namespace flowtest
