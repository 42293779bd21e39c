// The update variant for the "usb" interface: it checks and reads a whole
// flash image but sends none of it, and always reports failure.
#include "state/tool_context.h"
#include "flows/flow_wire.h"
#include "flows/flows.h"
#include "image/image_table.h"
#include "image/region_list.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

using namespace flows;

constexpr uint64_t kWholeFlashBytes = 0x2000000;
constexpr size_t kReadBytes = 0x8000;

bool hasWholeFlashSize(platform::File* file) {
  platform::fileSeekEnd(file);
  int64_t size = platform::fileTell(file);
  platform::fileSeek(file, 0);
  return size >= 0 && static_cast<uint64_t>(size) == kWholeFlashBytes;
}

void askUsbUpdateInfo() {
  uint8_t request[1] = {toolContext.preserveConfig};
  uint8_t response[kFlowBufferSize];
  text::fill(response, 0, sizeof response);
  int32_t responseLength = 0;
  uint8_t code = lowByte(sendOem(kCmdGetUSBFWUpdateInfo, request, 1, response, &responseLength));
  if (code == 0) {
    toolContext.imageKind = response[0] & 0x0F;
  } else if (code == kCodeInvalidCommand) {
    toolContext.imageKind = 1;
  }
}

// Reads the file into image in pieces of up to 32 KiB; a read that brings
// nothing ends it early (the file shrank or cannot be read). A short read
// never lets a later one run past the end of the buffer.
void readWholeFile(platform::File* file, uint8_t* image) {
  platform::fileSeek(file, 0);
  uint64_t total = 0;
  while (total < kWholeFlashBytes) {
    const uint64_t left = kWholeFlashBytes - total;
    size_t count = platform::fileRead(file, image + total, left < kReadBytes ? left : kReadBytes);
    if (count == 0) return;
    total += count;
  }
}

}  // namespace

int runUsbFirmwareUpdate() {
  platform::print("Press any to continue name %s\n", toolContext.firmwareFile);
  platform::flush();
  if (toolContext.runOptions.assumeYes) {
    platform::print("(answered by --yes)\n");
  } else {
    platform::readKey();
  }

  platform::File* file = platform::fileOpen(toolContext.firmwareFile, "rb");
  if (file == nullptr) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("ERROR: OPEN BINARY FILE FAILED\n\n");
    return 0;
  }
  if (!hasWholeFlashSize(file)) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("the file size of the firmware image is not correct!\n");
    platform::fileClose(file);
    return 0;
  }
  auto* image = static_cast<uint8_t*>(platform::allocate(kWholeFlashBytes));
  if (image == nullptr) {
    noteOutcome(RunOutcome::kNoMemory);
    platform::print("malloc memory buffer failed!\n");
    platform::fileClose(file);
    return 0;
  }

  askUsbUpdateInfo();
  // A file that cannot give its first page whole has no table to read.
  if (toolContext.imageKind == 2 &&
      platform::fileReadFully(file, image, kWholeFlashBytes) >= kPageSize) {
    toolContext.regions = RegionList{};
    find_respective_image_info(image, kPageSize, &toolContext.regions);
  }
  platform::print("If the FW update fails,PLEASE TRY AGAIN\n");
  platform::print("Transfer data ................\n");
  readWholeFile(file, image);

  noteOutcome(RunOutcome::kRefused);  // the variant never sends the image
  platform::print("FWUpdate fail\n");
  platform::fileClose(file);
  platform::release(image);
  return 0;
}
