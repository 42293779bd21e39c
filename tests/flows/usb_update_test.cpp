#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "state/tool_context.h"
#include "platform/host/host.h"
#include "support/flow_fixture.h"
#include "transport/ipmi_wire.h"

namespace flowtest {
namespace {

constexpr uint64_t kWholeFlash = 0x2000000;

const std::string kReadLines =
    "If the FW update fails,PLEASE TRY AGAIN\nTransfer data ................\n";
const std::string kFail = "FWUpdate fail\n";

class UsbUpdateTest : public FlowTest {
 public:
  std::string prompt() const { return "Press any to continue name " + path("usb.bin") + "\n"; }
  void usbUpdate(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-i", "usb", "-f", path("usb.bin")};
    args.insert(args.end(), extra.begin(), extra.end());
    run(args, "x");
  }
};

struct UsbCase {
  const char* name;
  uint64_t fileSize;
  std::string head;  // the start of the file
  std::function<void(UsbUpdateTest&)> arrange;
  std::string printed;  // after the prompt
  uint8_t imageKind;
  bool asksTheBmc;
};

const std::string kTable = "[img]: 8000 100 0 a.bin\n[end]\n";

const UsbCase kCases[] = {
    {"one byte too long", kWholeFlash + 1, "", [](auto&) {},
     "the file size of the firmware image is not correct!\n", 0, false},
    {"image buffer not allocated", kWholeFlash, "",
     [](auto&) { hostplatform::faults().failAllocationOfSize = kWholeFlash; },
     "malloc memory buffer failed!\n", 0, false},
    {"kind taken from the low four bits", kWholeFlash, kTable,
     [](UsbUpdateTest& t) { t.firmware.knobs.usbKindByte = 0x12; }, kReadLines + kFail, 2, true},
    {"invalid command taken as kind 1", kWholeFlash, kTable,
     [](UsbUpdateTest& t) { t.firmware.knobs.usbCompletionCode = 0xC1; }, kReadLines + kFail, 1,
     true},
    {"other codes leave the kind alone", kWholeFlash, kTable,
     [](UsbUpdateTest& t) { t.firmware.knobs.usbCompletionCode = 0xC0; }, kReadLines + kFail, 0,
     true},
    {"silent BMC", kWholeFlash, "",
     [](UsbUpdateTest& t) {
       t.firmware.knobs.unanswered = {{kCmdGetUSBFWUpdateInfo, 1}};
     },
     kTransportError + kReadLines + kFail, 0, true},
    {"file shrinks before it is read", kWholeFlash, "",
     [](UsbUpdateTest& t) {
       t.firmware.observer = [&t](const sim::Request&) {
         ASSERT_EQ(truncate(t.path("usb.bin").c_str(), 0x10000), 0);
       };
     },
     kReadLines + kFail, 2, true},
};

TEST_F(UsbUpdateTest, EveryPathEndsWithResultZeroAndNoColdReset) {
  for (const UsbCase& c : kCases) {
    SCOPED_TRACE(c.name);
    reset();
    writeSparseFile("usb.bin", Bytes(c.head.begin(), c.head.end()), c.fileSize);
    c.arrange(*this);
    usbUpdate();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(afterEcho(), prompt() + c.printed);
    EXPECT_EQ(toolContext.imageKind, c.imageKind);
    EXPECT_EQ(firmware.requestCount[kCmdGetUSBFWUpdateInfo], c.asksTheBmc ? 1 : 0);
    EXPECT_EQ(bmc.coldResets, 0);
  }
}

TEST_F(UsbUpdateTest, TableIsReadOnlyForKindTwoAndNothingIsSent) {
  const struct {
    uint8_t kindByte;
    uint8_t regions;
    size_t readPieceLimit;  // the table is read whole also from pieces
  } cases[] = {{0x02, 1, 0}, {0x01, 0, 0}, {0x02, 1, 16}};
  for (const auto& c : cases) {
    reset();
    writeSparseFile("usb.bin", Bytes(kTable.begin(), kTable.end()), kWholeFlash);
    firmware.knobs.usbKindByte = c.kindByte;
    hostplatform::faults().readPieceLimit = c.readPieceLimit;
    usbUpdate({"-r", "n"});
    EXPECT_EQ(toolContext.regions.count, c.regions);
    EXPECT_EQ(requestsFor(kCmdGetUSBFWUpdateInfo), std::vector<Bytes>{{0}});
    EXPECT_EQ(bmc.received.size(), 1u);
  }
}

TEST_F(UsbUpdateTest, ShortReadsDoNotEndTheReadEarly) {
  // A file system that answers with odd-sized pieces: only a read that
  // brings nothing ends the loop, so the variant still takes the whole file.
  writeSparseFile("odd.bin", Bytes(16, 0xAB), kWholeFlash);
  hostplatform::faults().readPieceLimit = 0x7FFF;
  run({"-i", "usb", "-f", path("odd.bin")}, "k");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(afterEcho(), "Press any to continue name " + path("odd.bin") + "\n" + kReadLines + kFail);
}

TEST_F(UsbUpdateTest, MissingFileAfterTheKey) {
  run({"-i", "usb", "-f", path("absent.bin")}, "q");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(afterEcho(), "Press any to continue name " + path("absent.bin") +
                             "\nERROR: OPEN BINARY FILE FAILED\n\n");
  EXPECT_TRUE(bmc.received.empty());
}

}  // namespace
}  // namespace flowtest
