#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sim/function_transport.h"
#include "app/run.h"
#include "flows/flows.h"
#include "platform/host/file_system.h"
#include "platform/host/host.h"
#include "state/tool_context.h"
#include "transport/kcs.h"
#include "support/flow_fixture.h"
#include "transport/ipmi_wire.h"

namespace flowtest {
namespace {


const std::string kPhase1 = "Phase1:Wait for BMC !!\n";
const std::string kPhase2 = "Phase2:Receive the flash data........... \n";
const std::string kCheckFailed = "ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n";
const std::string kReceiveFailed = "ERROR: RECEIVE FLASH DATA FAILED\n\n";
const std::string kWriteFailed = "ERROR: WRITE DUMP FILE FAILED\n\n";
// Said once by a readiness question that went unanswered at 50 s.
const std::string kNotice1155 =
    "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 1155 SECONDS\n";

Bytes pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 13 + i / 256);
  return bytes;
}

class DumpTest : public FlowTest {
 protected:
  void dump(size_t flashSize = 1000) {
    if (firmware.flash.empty()) firmware.flash = pattern(flashSize);
    run({"-d", path("dump.bin")});
  }
};

TEST_F(DumpTest, FileHoldsTheFlashAfterBothPhases) {
  dump(1000);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "length=0x3e8\n" +
                             "1K bytes      5%\r1K bytes      50%\r"
                             "1K bytes      95%\r1K bytes      100%\r");
  EXPECT_EQ(readFile("dump.bin"), firmware.flash);
  EXPECT_EQ(waitedSeconds(), 50u);
  EXPECT_EQ(firmware.requestCount[kCmdGetDumpFlashData], 18);
}

struct ReadinessCase {
  const char* name;
  std::function<void(sim::FirmwareBmc::Knobs&)> arrange;
  std::string phase1;  // between the echo and the phase 2 line
  int questions;
};

const ReadinessCase kReadiness[] = {
    {"ready at once", [](auto&) {}, kPhase1, 1},
    {"prepare refused, dump goes on", [](auto& k) { k.prepareCompletionCode = 0xC0; },
     "ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n" + kPhase1, 1},
    {"not ready three times", [](auto& k) { k.notReadyQuestions = 3; }, kPhase1, 4},
    {"question answered with errors",
     [](auto& k) {
       k.checkCompletionCodes = {0xC3, 0xFF};
     },
     kPhase1 + kCheckFailed + kCheckFailed, 3},
    // Answers, even refusals, are no silence.
    {"busy, not now, nothing there", [](auto& k) { k.checkCompletionCodes = {0xC0, 0xD5, 0xD2}; },
     kPhase1 + kCheckFailed + kCheckFailed + kCheckFailed, 4},
    {"question unanswered",
     [](auto& k) {
       k.unanswered = {{kCmdCheckDumpFlashComplete, 1}};
     },
     kPhase1 + kTransportError + kNotice1155 + kCheckFailed, 2},
    {"ready without its length bytes", [](auto& k) { k.shortReadyReplies = 1; },
     kPhase1 + kCheckFailed, 2},
};

TEST_F(DumpTest, ReadinessQuestionsRepeatEveryFiveSeconds) {
  for (const ReadinessCase& c : kReadiness) {
    SCOPED_TRACE(c.name);
    reset();
    c.arrange(firmware.knobs);
    dump(56 * 3);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(afterEcho().substr(0, c.phase1.size() + kPhase2.size()), c.phase1 + kPhase2);
    EXPECT_EQ(firmware.requestCount[kCmdCheckDumpFlashComplete], c.questions);
    EXPECT_EQ(waitedSeconds(), 50u + 5u * (c.questions - 1));
    EXPECT_EQ(readFile("dump.bin"), firmware.flash);
  }
}

std::string repeated(const std::string& text, int times) {
  std::string out;
  for (int n = 0; n < times; ++n) out += text;
  return out;
}

const std::string kPrepareFailed = "ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n";
const std::string kNotPrepared = "ERROR: THE BMC DID NOT PREPARE THE DUMP WITHIN 1200 SECONDS\n\n";

// Phase 1 ends: at once for a BMC without the commands (0xC1) or that
// refuses to prepare, after 20 minutes for one that never gets ready or
// never answers.
struct PhaseOneEndCase {
  const char* name;
  std::function<void(FlowTest&)> arrange;
  std::string printed;  // everything after the echo
  int questions;
  uint64_t waited;  // seconds stalled
  RunOutcome outcome;
};

const auto kPrepareAnswered = [](uint8_t code) {
  return [code](FlowTest& t) { t.bmc.faults.completionCode[sim::commandKey(kNetFnLunOem, 0x1D)] = code; };
};

const PhaseOneEndCase kPhaseOneEnds[] = {
    {"prepare answered 0xC1", kPrepareAnswered(0xC1), kPrepareFailed, 0, 0, RunOutcome::kRefused},
    // Refused: reading on would fetch whatever an earlier dump left.
    {"prepare answered 0xCC", kPrepareAnswered(0xCC), kPrepareFailed, 0, 0, RunOutcome::kRefused},
    {"prepare answered 0xD5", kPrepareAnswered(0xD5), kPrepareFailed, 0, 0, RunOutcome::kRefused},
    {"readiness question answered 0xC1",
     [](FlowTest& t) { t.bmc.faults.completionCode[sim::commandKey(kNetFnLunOem, 0x1E)] = 0xC1; },
     kPhase1 + kCheckFailed, 1, 50, RunOutcome::kRefused},
    // Questions at 50 s, 55 s, ...: the one at 1200 s is the last.
    {"never ready", [](FlowTest& t) { t.firmware.knobs.notReadyQuestions = 1 << 30; },
     kPhase1 + kNotPrepared, 231, 50 + 5 * 230, RunOutcome::kRefused},
    // Each question costs the transport's 10 s and 5 s more.
    {"no BMC at all", [](FlowTest&) { hostplatform::setPortDevice(nullptr); },
     kTransportError + kPrepareFailed + kPhase1 + kTransportError +
         "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 1145 SECONDS\n" +
         kCheckFailed + repeated(kTransportError + kCheckFailed, 76) + kNotPrepared,
     0, 50 + 5 * 76, RunOutcome::kNoAnswer},
};

TEST_F(DumpTest, PhaseOneEndsForABmcWithoutTheCommandsOrPastItsBound) {
  for (const PhaseOneEndCase& c : kPhaseOneEnds) {
    SCOPED_TRACE(c.name);
    reset();
    bmc.faults = sim::Bmc::Faults{};
    c.arrange(*this);
    dump(56 * 3);
    hostplatform::setPortDevice(&rig.kcs);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(afterEcho(), c.printed);
    EXPECT_EQ(bmc.countOf(kNetFnLunOem, kCmdCheckDumpFlashComplete), c.questions);
    EXPECT_EQ(waitedSeconds(), c.waited);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
    EXPECT_FALSE(std::filesystem::exists(path("dump.bin.partial")));
  }
}

struct LengthCase {
  const char* name;
  size_t served;
  std::optional<uint32_t> reported;
  std::string progress;
  bool lengthMet = true;  // else the dump ends with an error, under the temporary name
  size_t kept = SIZE_MAX;  // bytes of the flash in the file; all of them by default
};

const LengthCase kLengths[] = {
    {"reported length 0 prints no progress", 200, 0u, ""},
    {"a first percentage of 100 is not printed", 40, 56u, kReceiveFailed, false},
    {"a first percentage of 100 is not printed, length met", 50, 50u, ""},
    // The first chunk past the announced length ends the dump, so a BMC
    // that never stops sending cannot keep it going.
    {"more data than announced", 300, 112u,
     "1K bytes      50%\r1K bytes      100%\r1K bytes      150%\r" + kReceiveFailed, false,
     168},
    {"last chunk without data", 112, std::nullopt,
     "1K bytes      50%\r1K bytes      100%\r1K bytes      150%\r"},
    {"last chunk of 19 bytes", 56 * 2 + 19, std::nullopt, ""},
};

TEST_F(DumpTest, ProgressFollowsTheReportedLengthAndEveryChunkIsKept) {
  for (const LengthCase& c : kLengths) {
    SCOPED_TRACE(c.name);
    reset();
    firmware.knobs.reportedDumpLength = c.reported;
    dump(c.served);
    EXPECT_EQ(result, 1);
    std::string header = kPhase1 + kPhase2 + "length=0x";
    std::string printed = afterEcho();
    ASSERT_EQ(printed.substr(0, header.size()), header);
    std::string progress = printed.substr(printed.find('\n', header.size()) + 1);
    if (c.reported) {
      EXPECT_EQ(progress, c.progress);
    }
    const size_t kept = std::min(c.kept, firmware.flash.size());
    EXPECT_EQ(readFile(c.lengthMet ? "dump.bin" : "dump.bin.partial"),
              Bytes(firmware.flash.begin(), firmware.flash.begin() + kept));
  }
}

TEST_F(DumpTest, ThirtyTwoMebibytesStartAtZeroPercent) {
  firmware.knobs.reportedDumpLength = 0x2000000;
  dump(56 * 29960 + 10);
  const std::string start =
      kPhase1 + kPhase2 + "length=0x2000000\n1K bytes      0%\r1639K bytes      5%\r";
  EXPECT_EQ(afterEcho().substr(0, start.size()), start);
  EXPECT_TRUE(afterEcho().ends_with(kReceiveFailed));
  EXPECT_EQ(readFile("dump.bin.partial"), firmware.flash);
}

struct DataFaultCase {
  const char* name;
  std::function<void(sim::FirmwareBmc::Knobs&)> arrange;
  std::string printed;  // after the progress-free header
  uint64_t retryWaits;
};

const DataFaultCase kDataFaults[] = {
    {"failed request asked again",
     [](auto& k) {
       k.unanswered = {{kCmdGetDumpFlashData, 2}};
     },
     kTransportError + "THE BMC HAS NOT ANSWERED FOR 10 SECONDS, STILL TRYING FOR UP TO 45 SECONDS\n",
     1},
    {"short reply asked again",
     [](auto& k) {
       k.dataFaults = {{1, sim::FirmwareBmc::DataFault::kShort}};
     },
     "", 1},
    {"reply without any data asked again",
     [](auto& k) { k.dataFaults = {{2, sim::FirmwareBmc::DataFault::kEmpty}}; }, "", 1},
    {"four faults in a row still recover",
     [](auto& k) {
       for (int n = 2; n <= 5; ++n) k.dataFaults[n] = sim::FirmwareBmc::DataFault::kShort;
     },
     "", 4},
};

TEST_F(DumpTest, StaleDataNeverReachesTheFile) {
  for (const DataFaultCase& c : kDataFaults) {
    SCOPED_TRACE(c.name);
    reset();
    c.arrange(firmware.knobs);
    dump(56 * 4 + 3);  // no chunk lands on a multiple of 5 percent
    EXPECT_EQ(result, 1);
    EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "length=0xe3\n" + c.printed);
    EXPECT_EQ(readFile("dump.bin"), firmware.flash);
    EXPECT_EQ(waitedSeconds(), 50u + c.retryWaits);
  }
}

TEST_F(DumpTest, FiveFailedAttemptsEndTheDumpWithWhatArrived) {
  firmware.knobs.reportedDumpLength = 0;
  for (int n = 3; n <= 7; ++n) firmware.knobs.dataFaults[n] = sim::FirmwareBmc::DataFault::kShort;
  dump(56 * 4);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "length=0x0\n" + kReceiveFailed);
  EXPECT_EQ(readFile("dump.bin.partial"),
            Bytes(firmware.flash.begin(), firmware.flash.begin() + 112));
  EXPECT_FALSE(std::filesystem::exists(path("dump.bin")));
  EXPECT_EQ(firmware.requestCount[kCmdGetDumpFlashData], 7);
  EXPECT_EQ(waitedSeconds(), 50u + 4u);
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kRefused);  // it answered
}

TEST_F(DumpTest, FullVolumeEndsTheDumpWithAnError) {
  hostplatform::faults().writeLimit = 100;
  firmware.knobs.reportedDumpLength = 0;
  dump(56 * 200);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "length=0x0\n" + kWriteFailed);
}

TEST_F(DumpTest, UncreatableFileStopsBeforeAnyDataRequest) {
  firmware.flash = pattern(100);
  run({"-d", path("no-such-dir/dump.bin")});
  EXPECT_EQ(result, 1);
  EXPECT_EQ(afterEcho(), kPhase1 + kPhase2 + "ERROR: OPEN BINARY FILE FAILED " +
                             path("no-such-dir/dump.bin") + "\n\n");
  EXPECT_EQ(firmware.requestCount[kCmdGetDumpFlashData], 0);
}

}  // namespace
}  // namespace flowtest

namespace flowtest {
namespace {

// Without -c a named dump file wins over everything else on the command line.
TEST_F(DumpTest, DumpFileDecidesTheMode) {
  const std::vector<std::vector<std::string>> commandLines = {
      {"-f", "image.bin", "-d", "dump.bin"},
      {"-d", "dump.bin", "-f", "image.bin"},
      {"-i", "usb", "-d", "dump.bin"},
  };
  for (const auto& args : commandLines) {
    SCOPED_TRACE(args[0] + " " + args[2]);
    reset();
    firmware.flash = pattern(100);
    std::vector<std::string> withPaths;
    for (const std::string& arg : args) {
      withPaths.push_back(arg[0] == '-' || arg == "usb" ? arg : path(arg));
    }
    run(withPaths);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(readFile("dump.bin"), firmware.flash);
    EXPECT_EQ(firmware.requestCount[0x16], 0);  // GetFWUpdateInfo
    EXPECT_EQ(firmware.requestCount[0x0D], 0);  // GetUSBFWUpdateInfo
  }
}

}  // namespace
}  // namespace flowtest

namespace flowtest {
namespace {

// A reply lost after the BMC moved on cannot be asked for again: the dump
// must not end looking complete.
TEST_F(DumpTest, LostChunkNeverEndsAsACompleteDump) {
  struct Case {
    const char* name;
    std::optional<uint32_t> reported;
    int dataRequests;
  };
  const Case cases[] = {
      // Asked again, the BMC gives the next chunk; the length shows the loss.
      {"reported length", std::nullopt, 5},
      // Nothing could show the loss later: the dump stops at once.
      {"no reported length", 0u, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    firmware.knobs.reportedDumpLength = c.reported;
    firmware.knobs.dataFaults = {{2, sim::FirmwareBmc::DataFault::kOverlong}};
    dump(56 * 4 + 3);
    std::string printed = afterEcho();
    EXPECT_EQ(printed.substr(printed.find('\n', printed.find("length=")) + 1), kReceiveFailed);
    EXPECT_EQ(firmware.requestCount[kCmdGetDumpFlashData], c.dataRequests);
    EXPECT_FALSE(std::filesystem::exists(path("dump.bin")));
  }
}

// A dump takes the place of an earlier file only once it is complete.
TEST_F(DumpTest, FailedDumpKeepsTheEarlierFile) {
  struct Case {
    const char* name;
    std::function<void(sim::FirmwareBmc::Knobs&)> arrange;
    bool earlierFile;
    size_t arrived;  // flash bytes the new file holds
    std::string ending;
  };
  const auto silent = [](auto& k) {
    for (int n = 1; n <= 5; ++n) k.unanswered.insert({kCmdGetDumpFlashData, n});
  };
  const auto failsHalfWay = [](auto& k) {
    for (int n = 3; n <= 7; ++n) k.dataFaults[n] = sim::FirmwareBmc::DataFault::kShort;
  };
  const Case cases[] = {
      {"BMC silent", silent, true, 0, kReceiveFailed},
      {"data fails half-way", failsHalfWay, true, 112, kReceiveFailed},
      {"BMC silent, no earlier file", silent, false, 0, kReceiveFailed},
      {"data fails, no earlier file", failsHalfWay, false, 112, kReceiveFailed},
      {"success replaces", [](auto&) {}, true, 300, "length=0x12c\n"},
  };
  const Bytes earlier(1000, 0x5A);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    std::filesystem::remove(path("dump.bin"));
    std::filesystem::remove(path("dump.bin.partial"));
    c.arrange(firmware.knobs);
    if (c.earlierFile) writeFile("dump.bin", earlier);
    dump(300);
    EXPECT_TRUE(afterEcho().ends_with(c.ending));
    const Bytes arrived(firmware.flash.begin(), firmware.flash.begin() + c.arrived);
    if (c.arrived == firmware.flash.size()) {
      EXPECT_EQ(readFile("dump.bin"), arrived);
      EXPECT_FALSE(std::filesystem::exists(path("dump.bin.partial")));
    } else {
      EXPECT_EQ(std::filesystem::exists(path("dump.bin")), c.earlierFile);
      if (c.earlierFile) {
        EXPECT_EQ(readFile("dump.bin"), earlier);
      }
      EXPECT_EQ(readFile("dump.bin.partial"), arrived);
    }
  }
}

TEST_F(DumpTest, DumpThatCannotTakeItsPlaceStaysUnderTheTemporaryName) {
  writeFile("dump.bin", Bytes(10, 1));
  hostplatform::faults().replaceFails = true;
  dump(300);
  EXPECT_TRUE(afterEcho().ends_with("ERROR: RENAME DUMP FILE FAILED\n\n"));
  EXPECT_EQ(readFile("dump.bin"), Bytes(10, 1));
  EXPECT_EQ(readFile("dump.bin.partial"), firmware.flash);
}

TEST_F(DumpTest, FolderAsDumpFileIsRefusedAndKept) {
  std::filesystem::create_directory(path("folder"));
  firmware.flash = pattern(100);
  run({"-d", path("folder")});
  EXPECT_TRUE(afterEcho().ends_with("ERROR: OPEN BINARY FILE FAILED " + path("folder") + "\n\n"));
  EXPECT_TRUE(std::filesystem::is_directory(path("folder")));
  EXPECT_FALSE(std::filesystem::exists(path("folder.partial")));
  EXPECT_EQ(firmware.requestCount[kCmdGetDumpFlashData], 0);
}

}  // namespace
}  // namespace flowtest

namespace flowtest {
namespace {

// Files whose bytes are only counted: a dump of hundreds of MiB costs no
// disk and no memory.
class CountingFiles : public hostplatform::FileSystem {
 public:
  uint64_t written = 0;

  hostplatform::FileStream* open(const char*, hostplatform::OpenMode) override {
    return new Stream(written);
  }
  hostplatform::FileStream* create(const char* name, hostplatform::OpenMode mode) override {
    return open(name, mode);
  }
  bool isDirectory(const char*) override { return false; }
  int remove(const char*) override { return 0; }
  int rename(const char*, const char*) override { return 0; }
  bool sameFile(const char*, const char*) override { return false; }

 private:
  struct Stream : hostplatform::FileStream {
    explicit Stream(uint64_t& total) : total(total) {}
    uint64_t& total;
    size_t read(void*, size_t) override { return 0; }
    size_t write(const void*, size_t count) override {
      total += count;
      return count;
    }
    int seek(int64_t) override { return 0; }
    int seekEnd() override { return 0; }
    int64_t tell() override { return 0; }
    bool atEnd() override { return true; }
    int close() override {
      delete this;
      return 0;
    }
  };
};

// A BMC that reports length 0 and says "more follow" on every chunk, answered
// without the simulated interface (millions of chunks).
uint64_t gEndlessChunks = 0;
int endlessDump(uint8_t, uint8_t command, const uint8_t*, int32_t, uint8_t* response, int32_t,
                int32_t* responseLength) {
  if (command == kCmdCheckDumpFlashComplete) {
    std::fill(response, response + 5, 0);
    response[0] = 1;  // ready, length 0
    *responseLength = 5;
  } else if (command == kCmdGetDumpFlashData) {
    ++gEndlessChunks;
    response[0] = 0;  // more follow; the data bytes are whatever the buffer holds
    *responseLength = 57;
  } else {
    *responseLength = 0;
  }
  return 0;
}

TEST_F(DumpTest, EndlessDumpStopsBeforePassing256MiB) {
  CountingFiles files;
  hostplatform::setFileSystem(&files);
  resetToolContext();
  rig.bindTransport();
  static constexpr TransportFunctions kEndless = {kcsOpen, endlessDump, kcsClose};
  toolContext.transport = functionTransport(&kEndless);
  toolContext.dumpFile = "dump.bin";
  gEndlessChunks = 0;
  EXPECT_EQ(runFirmwareDump(), 1);
  hostplatform::setFileSystem(nullptr);
  constexpr uint64_t kCap = 256u << 20;
  EXPECT_EQ(files.written, kCap / 56 * 56);
  EXPECT_EQ(gEndlessChunks, kCap / 56 + 1);
  EXPECT_TRUE(rig.takeConsole().ends_with("length=0x0\n" + kReceiveFailed));
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kRefused);
}

}  // namespace
}  // namespace flowtest
