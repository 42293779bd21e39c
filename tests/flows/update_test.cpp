#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "platform/host/host.h"
#include "support/flow_fixture.h"
#include "transport/ipmi_wire.h"

namespace flowtest {
namespace {


const std::string kChecking = "Check if this file is valid................\n";
const std::string kTryAgain = "If the FW update fails,PLEASE TRY AGAIN\n";
const std::string kRemoveAc =
    "\n\n\nIf the FW update fails. PLEASE WAIT 5 MINS AND REMOVE THE AC...\n";
const std::string kComplete =
    "\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n";
const std::string kInfoFailed =
    "ERROR:SEND \"GetFWUpdateInfo\" COMMAND TO BMC FAILED\nREBOOTING THE BMC ...\n";
const std::string kWrongKind = "Please select the correct image file and try again.\n";
const std::string kMismatch =
    "Error!\nUpdate package type mismatch!\nPlease select the correct type and try again!\n";
const std::string kReceiveFailed = "ERROR:SEND \"ReceiveFWData\" COMMAND TO BMC FAILED\n";

std::string okLine(int index, const std::string& paddedLength) {
  return "Load part " + std::to_string(index) + " " + paddedLength +
         " bytes, [Ok]                       \r\n";
}

// The progress lines of a 262,144-byte region: K bytes at each printed step
// (percent 1, 6, ... 96), worked out by hand from the chunk arithmetic.
std::string fullTablePageProgress(int index) {
  const int kBytes[] = {1,   13,  26,  39,  52,  65,  77,  90,  103, 116,
                        129, 141, 154, 167, 180, 193, 205, 218, 231, 244};
  std::string text;
  for (int step = 0; step < 20; ++step) {
    std::string k = std::to_string(kBytes[step]);
    text += "Load part " + std::to_string(index) + "   262144 bytes, " +
            std::string(5 - k.size(), ' ') + k + "K bytes   " + std::to_string(step * 5 + 1) +
            "%\r";
  }
  return text + okLine(index, "  262144");
}

// Table in page 0; regions: 0x8000 (100 bytes), 0x9000 (2000 bytes), then
// the table page itself (0, 256 KiB, reaching past the end of the file).
const std::vector<TableEntry> kTwoParts = {{0x8000, 100, "a.bin"}, {0x9000, 2000, "b.bin"}};

class UpdateTest : public FlowTest {
 public:
  Bytes image = makeImage(0xA000, 0, tableText(kTwoParts));
  void update(std::vector<std::string> extra = {}) {
    writeFile("fw.bin", image);
    std::vector<std::string> args{"-f", path("fw.bin")};
    args.insert(args.end(), extra.begin(), extra.end());
    run(args);
  }
};

TEST_F(UpdateTest, UploadsEveryRegionAndPollsUntilDone) {
  firmware.knobs.progressSteps = {30, 60, 100};
  update();

  EXPECT_EQ(result, 0);
  std::string region1 =
      "Load part 1     2000 bytes,     2K bytes   76%\r"
      "Load part 1     2000 bytes,     2K bytes   81%\r"
      "Load part 1     2000 bytes,     2K bytes   86%\r"
      "Load part 1     2000 bytes,     2K bytes   91%\r"
      "Load part 1     2000 bytes,     2K bytes   96%\r" +
      okLine(1, "    2000");
  EXPECT_EQ(afterEcho(), kChecking + kTryAgain + okLine(0, "     100") + region1 +
                             fullTablePageProgress(2) + kRemoveAc +
                             "new firmware is updating...30%\r"
                             "new firmware is updating...60%\r"
                             "new firmware is updating...100%\r" +
                             kComplete);
  EXPECT_TRUE(firmware.violations.empty()) << firmware.violations.front();
  ASSERT_TRUE(firmware.updateComplete());
  EXPECT_EQ(flashAt(0x8000, 100), regionBytes(image, 0x8000, 100));
  EXPECT_EQ(flashAt(0x9000, 2000), regionBytes(image, 0x9000, 2000));
  EXPECT_EQ(flashAt(0, 0x40000), regionBytes(image, 0, 0x40000));
  EXPECT_EQ(bmc.coldResets, 0);
  EXPECT_EQ(waitedSeconds(), 3u);
  EXPECT_EQ(toolContext.pageBuffer, nullptr);
}

TEST_F(UpdateTest, BlockDescriptionsAreBigEndianWithIndexAndCount) {
  update();
  const std::vector<Bytes> expected = {
      {0, 0, 0x80, 0, 0, 1, 0, 0, 0, 0, 0, 100, 0, 3},
      {0, 0, 0x90, 0, 0, 1, 0, 0, 0, 0, 0x07, 0xD0, 1, 3},
      {0, 0, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 2, 3},
  };
  EXPECT_EQ(requestsFor(kCmdSendBlockInfo), expected);
}

TEST_F(UpdateTest, PreserveFlagIsTheOnlyInfoData) {
  const struct {
    std::vector<std::string> extra;
    uint8_t flag;
  } cases[] = {{{}, 1}, {{"-r", "y"}, 1}, {{"-r", "n"}, 0}};
  for (const auto& c : cases) {
    reset();
    firmware.knobs.infoCompletionCode = 0xDF;  // ends the update at once
    update(c.extra);
    EXPECT_EQ(requestsFor(kCmdGetFWUpdateInfo), std::vector<Bytes>{{c.flag}});
  }
}

// No chunk goes into a region the BMC may never have opened.
TEST_F(UpdateTest, BlockInfoTransportFailureEndsTheUpload) {
  firmware.knobs.unanswered = {{kCmdSendBlockInfo, 1}};
  update();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(afterEcho(), kChecking + kTryAgain + kTransportError + "sendBlockInfo fail...\n" +
                             "ERROR:SEND \"sendBlockInfo\" COMMAND TO BMC FAILED\n" +
                             kColdResetSuccess);
  EXPECT_TRUE(requestsFor(kCmdReceiveFWData).empty());
  EXPECT_EQ(toolContext.runRecord.outcome, RunOutcome::kNoAnswer);
}

struct FailureCase {
  const char* name;
  std::function<void(UpdateTest&)> arrange;
  std::string printed;  // after the echo
  bool coldReset;
};

const std::string kUploadStart = kChecking + kTryAgain;

std::string notReady(const std::string& code) {
  return "ERROR:THE BMC CANNOT TAKE AN UPDATE NOW: \"GetFWUpdateInfo\" ANSWERED WITH COMPLETION "
         "CODE " + code + "\n";
}

const FailureCase kFailures[] = {
    {"another user updating", [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xDF; },
     "\xE2\x80\x9CWarning!\nAnother user is updating!\nPlease wait for the BMC to "
     "restart!\xE2\x80\x9D\n",
     false},
    {"info answered with an error code",
     [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xC7; }, kInfoFailed, true},
    // Busy, in update mode, initialising, not in a state for it: left alone.
    {"info: busy", [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xC0; },
     notReady("0xC0"), false},
    {"info: update mode", [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xD1; },
     notReady("0xD1"), false},
    {"info: initialising", [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xD2; },
     notReady("0xD2"), false},
    {"info: not now", [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xD5; },
     notReady("0xD5"), false},
    {"info unanswered",
     [](UpdateTest& t) {
       t.firmware.knobs.unanswered = {{kCmdGetFWUpdateInfo, 1}};
     },
     kTransportError + kInfoFailed, true},
    {"info without its kind byte", [](UpdateTest& t) { t.firmware.knobs.infoWithoutKind = true; },
     kInfoFailed, true},
    {"page buffer not allocated",
     [](UpdateTest&) { hostplatform::faults().failAllocationOfSize = 0x8000; },
     "ERROR: ALLOCATE MEMORY FOR THIS PROGRAM FAILED,PLEASE CHECK THE MEMORY USAGE\n", false},
    {"whole-file buffer not allocated",
     [](UpdateTest&) { hostplatform::faults().failAllocationOfSize = 0xA000; },
     "malloc memory buffer failed!!\n", true},
    {"invalid command taken as kind 1",
     [](UpdateTest& t) { t.firmware.knobs.infoCompletionCode = 0xC1; }, kWrongKind, true},
    {"kind 0", [](UpdateTest& t) { t.firmware.knobs.imageKind = 0; }, kWrongKind, true},
    {"kind 1", [](UpdateTest& t) { t.firmware.knobs.imageKind = 1; }, kWrongKind, true},
    {"kind 3", [](UpdateTest& t) { t.firmware.knobs.imageKind = 3; }, kWrongKind, true},
    {"kind 0x12 compared whole", [](UpdateTest& t) { t.firmware.knobs.imageKind = 0x12; },
     kWrongKind, true},
    {"no table", [](UpdateTest& t) { t.image = makeImage(0xA000, 0, "no table here"); },
     kChecking + kMismatch, true},
    {"empty image file", [](UpdateTest& t) { t.image.clear(); }, kChecking + kMismatch, true},
    {"more than eight regions",
     [](UpdateTest& t) {
       std::vector<TableEntry> nine(9, TableEntry{0x8000, 0x100});
       t.image = makeImage(0xA000, 0, tableText(nine));
     },
     kChecking + kMismatch, true},
    {"first chunk unanswered",
     [](UpdateTest& t) {
       t.firmware.knobs.unanswered = {{kCmdReceiveFWData, 1}};
     },
     kUploadStart + kTransportError + kReceiveFailed, true},
    {"last chunk unanswered",
     [](UpdateTest& t) {
       t.firmware.knobs.unanswered = {{kCmdReceiveFWData, 3}};
     },
     kUploadStart + kTransportError + kReceiveFailed, true},
    // Past the first region: the file gives nothing from 0x9100 on.
    {"read error inside the image",
     [](UpdateTest&) { hostplatform::faults().readFailsAt = 0x9100; },
     kUploadStart + okLine(0, "     100") + "ERROR: READ BINARY FILE FAILED\n\n", true},
    {"rejected: verification",
     [](UpdateTest& t) {
       t.firmware.knobs.reject = sim::FirmwareBmc::Rejection{0, 1};
     },
     kUploadStart + okLine(0, "     100") + "Error!\nUpdate package verification failed!\n", true},
    {"rejected: downgrade",
     [](UpdateTest& t) {
       t.firmware.knobs.reject = sim::FirmwareBmc::Rejection{0, 2};
     },
     kUploadStart + okLine(0, "     100") +
         "Error!\nCan't downgrade to this update package version!\n",
     true},
    {"rejected: not compatible",
     [](UpdateTest& t) {
       t.firmware.knobs.reject = sim::FirmwareBmc::Rejection{0, 7};
     },
     kUploadStart + okLine(0, "     100") +
         "Error!\nThis update package is not compatible with your system configuration.\n",
     true},
};

TEST_F(UpdateTest, EveryFailureEndsAsTheTableSays) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    reset();
    image = makeImage(0xA000, 0, tableText(kTwoParts));
    c.arrange(*this);
    update();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(afterEcho(), c.printed + (c.coldReset ? kColdResetSuccess : ""));
    EXPECT_EQ(bmc.coldResets, c.coldReset ? 1 : 0);
    EXPECT_EQ(firmware.requestCount[0x17], 0);
    EXPECT_EQ(toolContext.pageBuffer, nullptr);
  }
}

TEST_F(UpdateTest, MissingFileSendsNothing) {
  std::filesystem::create_directory(path("folder"));
  for (const char* name : {"absent.bin", "folder"}) {
    SCOPED_TRACE(name);
    reset();
    run({"-f", path(name)});
    EXPECT_EQ(result, -1);
    EXPECT_EQ(afterEcho(), "ERROR: OPEN BINARY FILE FAILED\n\n");
    EXPECT_TRUE(bmc.received.empty());
  }
}

// A file system that answers reads in pieces must not shift a byte.
TEST_F(UpdateTest, ImageReadInPiecesArrivesUnshifted) {
  hostplatform::faults().readPieceLimit = 7;
  update();
  ASSERT_EQ(result, 0);
  EXPECT_EQ(flashAt(0x8000, 100), regionBytes(image, 0x8000, 100));
  EXPECT_EQ(flashAt(0x9000, 2000), regionBytes(image, 0x9000, 2000));
  EXPECT_EQ(flashAt(0, 0x40000), regionBytes(image, 0, 0x40000));
}

TEST_F(UpdateTest, RejectionOnALaterRegionComesAfterItsCompletionLine) {
  firmware.knobs.reject = sim::FirmwareBmc::Rejection{2, 2};
  update();
  EXPECT_EQ(result, -1);
  const std::string tail = fullTablePageProgress(2) +
                           "Error!\nCan't downgrade to this update package version!\n" +
                           kColdResetSuccess;
  ASSERT_GE(console.size(), tail.size());
  EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
}

// Chunks of region 0 as (flag, data bytes) runs.
struct ChunkCase {
  uint64_t length;
  size_t fullChunks;
  size_t lastChunkBytes;
};

TEST_F(UpdateTest, RegionLengthsSplitIntoChunks) {
  const ChunkCase cases[] = {{49, 1, 0},  {50, 1, 1}, {98, 1, 49}, {99, 2, 1},
                             {48, 0, 48}, {1, 0, 1},  {0, 0, 0},   {0x40000, 5349, 43}};
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.length);
    reset();
    image = makeImage(0x50000, 0, tableText({{0x8000, c.length}}));
    update();
    ASSERT_EQ(result, 0);
    std::vector<Bytes> chunks = requestsFor(kCmdReceiveFWData);
    chunks.resize(c.fullChunks + 1);  // region 0 only
    for (size_t n = 0; n < c.fullChunks; ++n) {
      ASSERT_EQ(chunks[n].size(), 50u);
      ASSERT_EQ(chunks[n][0], 0);
    }
    EXPECT_EQ(chunks.back().size(), c.lastChunkBytes + 1);
    EXPECT_EQ(chunks.back()[0], 1);
    EXPECT_TRUE(firmware.violations.empty()) << firmware.violations.front();
    EXPECT_EQ(flashAt(0x8000, c.length), regionBytes(image, 0x8000, c.length));
  }
}

TEST_F(UpdateTest, ProgressOfALargeRegionFollowsTheChunks) {
  image = makeImage(0x48000, 0x40000, tableText({{0, 0x40000}}));
  // Console length when each chunk arrives, to see which chunk a line follows.
  std::vector<size_t> consoleAtChunk;
  firmware.observer = [&](const sim::Request& request) {
    if (request.command == kCmdReceiveFWData) consoleAtChunk.push_back(rig.console.size());
  };
  update();
  ASSERT_EQ(result, 0);
  const std::string first = "Load part 0   262144 bytes,     1K bytes   1%\r";
  const std::string second = "Load part 0   262144 bytes,    13K bytes   6%\r";
  size_t firstAt = rig.console.find(first);
  ASSERT_NE(firstAt, std::string::npos);
  EXPECT_EQ(rig.console.find(second), firstAt + first.size());
  // The first line follows chunk 1; the second follows chunk 268.
  EXPECT_LE(consoleAtChunk[0], firstAt);
  EXPECT_GT(consoleAtChunk[1], firstAt);
  EXPECT_LE(consoleAtChunk[267], firstAt + first.size());
  EXPECT_GT(consoleAtChunk[268], firstAt + first.size());
  EXPECT_NE(console.find(fullTablePageProgress(0)), std::string::npos);
}

TEST_F(UpdateTest, RegionPastTheEndOfTheFileIsPaddedWithFF) {
  image = makeImage(0x8040, 0, tableText({{0x8000, 0x100}}));
  update();
  ASSERT_EQ(result, 0);
  Bytes expected(image.begin() + 0x8000, image.end());
  expected.resize(0x100, 0xFF);
  EXPECT_EQ(flashAt(0x8000, 0x100), expected);
}

TEST_F(UpdateTest, OneProgressLineWhenTheBmcIsDoneAtOnce) {
  update();
  ASSERT_EQ(result, 0);
  const std::string tail = kRemoveAc + "new firmware is updating...100%\r" + kComplete;
  EXPECT_EQ(afterEcho().substr(afterEcho().size() - tail.size()), tail);
}

TEST_F(UpdateTest, UnansweredProgressShowsZeroAndPollingGoesOn) {
  firmware.knobs.unanswered = {{0x17, 1}};
  firmware.knobs.progressSteps = {0, 100};  // the first poll is lost
  update();
  ASSERT_EQ(result, 0);
  EXPECT_NE(afterEcho().find(kRemoveAc + kTransportError + "new firmware is updating...0%\r" +
                             "new firmware is updating...100%\r" + kComplete),
            std::string::npos);
  EXPECT_EQ(waitedSeconds(), 2u);
}

}  // namespace
}  // namespace flowtest

namespace flowtest {
namespace {

const std::string kUnsettled =
    "WARNING: DO NOT REMOVE THE POWER: THE BMC MAY STILL BE PROGRAMMING ITS FLASH; "
    "CHECK IT LATER WITH velkoran --bmc-info\n\n";

const std::string kStalled =
    "\nERROR: THE BMC STOPPED REPORTING PROGRESS, NONE FOR 600 SECONDS\n" + kUnsettled;

const std::string kTooLong =
    "\nERROR: THE BMC DID NOT FINISH PROGRAMMING ITS FLASH WITHIN 3600 SECONDS\n" + kUnsettled;

// The poll ends once the percentage has not moved for 10 minutes, counted
// from its last change; never with a cold reset.
struct StallCase {
  const char* name;
  std::function<void(UpdateTest&)> arrange;
  std::string tail;  // the end of the console
  int polls;
  RunOutcome outcome;
};

const StallCase kStalls[] = {
    {"stuck at 50 percent", [](UpdateTest& t) { t.firmware.knobs.progressSteps = {10, 50}; },
     "new firmware is updating...50%\r" + kStalled, 602, RunOutcome::kUnsettled},
    // Each poll: 1 s, then the transport's 10 s.
    {"silent while programming",
     [](UpdateTest& t) { t.bmc.faults.silent[sim::commandKey(kNetFnLunOem, 0x17)] = true; },
     kTransportError + "new firmware is updating...0%\r" + kStalled, 55, RunOutcome::kUnsettled},
    {"progress command unknown",
     [](UpdateTest& t) { t.bmc.faults.completionCode[sim::commandKey(kNetFnLunOem, 0x17)] = 0xC1; },
     "new firmware is updating...0%\r" + kStalled, 600, RunOutcome::kUnsettled},
    // Moving all the time, never reaching 100: the hour's bound ends it.
    {"wandering for ever",
     [](UpdateTest& t) {
       std::vector<uint8_t> steps;
       for (int poll = 0; poll < 4000; ++poll) steps.push_back(poll % 2 == 0 ? 10 : 11);
       t.firmware.knobs.progressSteps = steps;
     },
     "new firmware is updating...11%\r" + kTooLong, 3600, RunOutcome::kUnsettled},
    // Slower than the bound in all, but moving within it.
    {"slow but moving",
     [](UpdateTest& t) {
       std::vector<uint8_t> steps(500, 0);
       steps.resize(1000, 50);
       steps.push_back(100);
       t.firmware.knobs.progressSteps = steps;
     },
     "new firmware is updating...100%\r" + kComplete, 1001, RunOutcome::kSuccess},
};

TEST_F(UpdateTest, StalledProgressEndsTheRunWithoutAColdReset) {
  for (const StallCase& c : kStalls) {
    SCOPED_TRACE(c.name);
    reset();
    bmc.faults = sim::Bmc::Faults{};
    c.arrange(*this);
    update();
    EXPECT_EQ(result, c.outcome == RunOutcome::kSuccess ? 0 : -1);
    EXPECT_TRUE(afterEcho().ends_with(c.tail));
    EXPECT_EQ(bmc.countOf(kNetFnLunOem, 0x17), c.polls);
    EXPECT_EQ(bmc.coldResets, 0);
    EXPECT_EQ(toolContext.runRecord.outcome, c.outcome);
  }
}

}  // namespace
}  // namespace flowtest
