// The firmware update: update information, image checks, region upload in
// 49-byte chunks and the flash progress poll.
#include "state/tool_context.h"
#include "flows/flash_progress.h"
#include "flows/flow_wire.h"
#include "flows/flows.h"
#include "flows/upload_answer.h"
#include "image/region_list.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/ipmi.h"

namespace {

using namespace flows;

constexpr uint64_t kChunkDataBytes = 49;
constexpr uint8_t kImageKindUpdatable = 2;

constexpr char kAnotherUserMessage[] =
    "\xE2\x80\x9CWarning!\nAnother user is updating!\n"
    "Please wait for the BMC to restart!\xE2\x80\x9D\n";

// Busy, in firmware update mode, initialising, or not in a state for it: a
// BMC that says so about the update as a whole is left alone, as one that
// another user is updating; a reset could cut short what it is doing.
bool isNotReadyForUpdate(uint8_t code) {
  return code == 0xC0 || code == 0xD1 || code == 0xD2 || code == 0xD5;
}

constexpr char kNotReadyMessage[] =
    "ERROR:THE BMC CANNOT TAKE AN UPDATE NOW: \"GetFWUpdateInfo\" ANSWERED WITH COMPLETION "
    "CODE %s\n";

void releasePageBuffer() {
  if (toolContext.pageBuffer != nullptr) {
    platform::release(toolContext.pageBuffer);
    toolContext.pageBuffer = nullptr;
  }
}

// Every failed update ends here, after its own message.
int endFailedUpdate(platform::File* file, bool coldReset) {
  if (coldReset) {
    RunRecord& record = toolContext.runRecord;
    record.coldResetSent = true;
    // A stop while the image went out ends here: the reset must still go.
    if (record.stage == UpdateStage::kSending) record.stage = UpdateStage::kResetting;
    ipmiColdReset();
    // The BMC is no longer receiving or writing an image.
    record.stage = UpdateStage::kNone;
  }
  platform::fileClose(file);
  releasePageBuffer();
  return -1;
}

const char* rejectionMessage(uint8_t reason) {
  switch (reason) {
    case 1:
      return "Error!\nUpdate package verification failed!\n";
    case 2:
      return "Error!\nCan't downgrade to this update package version!\n";
    default:
      return "Error!\nThis update package is not compatible with your system configuration.\n";
  }
}

// Sets imageKind from the BMC; false when the update has already ended.
bool askUpdateInfo(platform::File* file) {
  uint8_t request[1] = {toolContext.preserveConfig};
  uint8_t response[kFlowBufferSize] = {};
  int32_t responseLength = 0;
  uint8_t code = lowByte(sendOem(kCmdGetFWUpdateInfo, request, 1, response, &responseLength));
  // Asked to take an update, the BMC may wait for an image: from here on a
  // stop ends the update with the cold reset.
  toolContext.runRecord.stage = UpdateStage::kSending;
  // A reply without its kind byte says nothing about the image kind.
  if (code == 0 && responseLength >= 1) {
    toolContext.imageKind = response[0];
    return true;
  }
  if (code == kCodeInvalidCommand) {
    toolContext.imageKind = 1;
    return true;
  }
  if (code == kCodeAnotherUserUpdating) {
    noteOutcome(RunOutcome::kRefused);
    platform::print("%s", kAnotherUserMessage);
    endFailedUpdate(file, false);
    return false;
  }
  if (isNotReadyForUpdate(code)) {
    noteOutcome(RunOutcome::kRefused);
    char codeText[5];
    formatCompletionCode(code, codeText);
    platform::print(kNotReadyMessage, codeText);
    endFailedUpdate(file, false);
    return false;
  }
  noteOutcome(isNoAnswer(code) ? RunOutcome::kNoAnswer : RunOutcome::kRefused);
  platform::print("ERROR:SEND \"GetFWUpdateInfo\" COMMAND TO BMC FAILED\n");
  platform::print("REBOOTING THE BMC ...\n");
  endFailedUpdate(file, true);
  return false;
}

uint64_t measureFile(platform::File* file) {
  platform::fileSeekEnd(file);
  int64_t size = platform::fileTell(file);
  platform::fileSeek(file, 0);
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

// A region's bytes, taken from the buffered image stream in file order.
// Bytes past the end of the file are 0xFF, the end-of-file value cut to 8
// bits; they are given without asking the file, since each such question
// would be a trip through the file system. A file that gives fewer bytes
// than it holds (a read error, or it shrank) fails the region: a made-up
// byte would shift or corrupt what the BMC programs.
struct RegionSource {
  platform::File* file;
  uint64_t leftInFile;
  bool failed = false;

  bool read(uint8_t* out, uint64_t count) {
    const uint64_t fromFile = count < leftInFile ? count : leftInFile;
    if (platform::fileReadFully(file, out, fromFile) != fromFile) {
      failed = true;
      return false;
    }
    leftInFile -= fromFile;
    for (uint64_t n = fromFile; n < count; ++n) out[n] = 0xFF;
    return true;
  }
};

// The code that ends the upload, or 0 when the BMC took the description.
uint8_t sendBlockInfo(const RegionList& regions, uint8_t index) {
  uint8_t request[kBlockDescriptionLength];
  describeRegion(regions, index, request);
  uint8_t response[kFlowBufferSize];
  int32_t responseLength = 0;
  const uint8_t code = sendUploadRequest(kCmdSendBlockInfo, request, kBlockDescriptionLength,
                                         response, &responseLength);
  if (!endsUpload(code)) return 0;
  platform::print("sendBlockInfo fail...\n");
  return code;
}

// Sends the flag-0 chunks of a region of 49 bytes or more; *rest receives the
// byte count left for the last chunk. False when a chunk failed: the file
// could not give its bytes, or *code ended the upload.
bool sendFullChunks(RegionSource& source, uint8_t index, uint64_t length, uint64_t* rest,
                    uint8_t* code) {
  uint8_t chunk[1 + kChunkDataBytes];
  uint8_t response[kFlowBufferSize];
  int32_t responseLength = 0;
  uint64_t remaining = length;
  uint64_t sent = kChunkDataBytes;
  uint64_t previousPercentage = 100;
  for (;;) {
    chunk[0] = 0;
    if (!source.read(chunk + 1, kChunkDataBytes)) return false;
    *code = sendUploadRequest(kCmdReceiveFWData, chunk, sizeof chunk, response, &responseLength);
    if (endsUpload(*code)) return false;
    uint64_t percentage = sent * 100 / length;
    if (percentage != previousPercentage && percentage % 5 == 0) {
      platform::print("Load part %d %8ld bytes, %5ldK bytes   %d%%\r", index,
                      static_cast<long>(length), static_cast<long>(sent / 1024 + 1),
                      static_cast<int>(percentage + 1));
      platform::flush();
    }
    if (remaining - kChunkDataBytes <= kChunkDataBytes) {
      *rest = remaining - kChunkDataBytes;
      return true;
    }
    previousPercentage = percentage;
    remaining -= kChunkDataBytes;
    sent += kChunkDataBytes;
  }
}

// *code receives the low byte of the last chunk's result; response byte 0
// carries a rejection reason. False when the file could not give the bytes.
bool sendLastChunk(RegionSource& source, uint64_t rest, uint8_t* response, uint8_t* code) {
  uint8_t chunk[1 + kChunkDataBytes];
  chunk[0] = 1;
  if (!source.read(chunk + 1, rest)) return false;
  int32_t responseLength = 0;
  *code = sendUploadRequest(kCmdReceiveFWData, chunk, static_cast<int32_t>(rest + 1), response,
                            &responseLength);
  return true;
}

// A chunk that did not go out: the file could not be read, or the BMC did
// not take it.
int failChunk(platform::File* file, const RegionSource& source, uint8_t code) {
  if (source.failed) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("ERROR: READ BINARY FILE FAILED\n\n");
  } else {
    reportUploadFailure("ReceiveFWData", code);
  }
  return endFailedUpdate(file, true);
}

constexpr int kUploadProgramming = 1;

// The whole image has gone out but the last chunk's answer went wrong: the
// BMC may have taken it and started programming, and a cold reset then could
// leave it without firmware. Only a BMC that reports no progress is reset.
int failLastChunkOfImage(platform::File* file, uint8_t code) {
  reportUploadFailure("ReceiveFWData", code);
  // Asked for its progress, the BMC is taken to be programming until it
  // says otherwise: a stop then must not reset it.
  toolContext.runRecord.stage = UpdateStage::kProgramming;
  if (!bmcReportsProgress()) return endFailedUpdate(file, true);
  platform::print("THE BMC REPORTS PROGRESS ALL THE SAME: NO COLD RESET, FOLLOWING IT\n");
  return kUploadProgramming;
}

// 0 when every region went through; kUploadProgramming when the BMC is
// programming although the last chunk's answer went wrong; otherwise (-1)
// the update has ended.
int uploadRegions(platform::File* file, uint64_t fileSize, const RegionList& regions) {
  for (uint8_t i = 0; i < regions.count; ++i) {
    const ImageRegion& region = regions.regions[i];
    if (const uint8_t blockCode = sendBlockInfo(regions, i); blockCode != 0) {
      reportUploadFailure("sendBlockInfo", blockCode);
      return endFailedUpdate(file, true);
    }
    platform::fileSeek(file, static_cast<int64_t>(region.offset));
    RegionSource source{file, region.offset < fileSize ? fileSize - region.offset : 0};
    // A region shorter than one full chunk goes out whole as its last chunk.
    uint64_t rest = region.length;
    uint8_t code = 0;
    if (region.length >= kChunkDataBytes &&
        !sendFullChunks(source, i, region.length, &rest, &code)) {
      return failChunk(file, source, code);
    }
    uint8_t response[kFlowBufferSize] = {};
    if (!sendLastChunk(source, rest, response, &code)) return failChunk(file, source, code);
    if (endsUpload(code) && code != kCodePackageRejected) {
      if (i + 1 == regions.count) return failLastChunkOfImage(file, code);
      return failChunk(file, source, code);
    }
    platform::print("Load part %d %8ld bytes, [Ok]                       \r\n", i,
                    static_cast<long>(region.length));
    if (code == kCodePackageRejected) {
      noteOutcome(RunOutcome::kRefused);
      platform::print("%s", rejectionMessage(response[0]));
      return endFailedUpdate(file, true);
    }
  }
  return 0;
}

// Allocates the page buffer and checks the file against the BMC's answer;
// false when the update has ended.
bool prepareImage(platform::File* file, uint64_t* fileSize) {
  toolContext.pageBuffer = static_cast<uint8_t*>(platform::allocate(kPageSize));
  if (toolContext.pageBuffer == nullptr) {
    noteOutcome(RunOutcome::kNoMemory);
    platform::print(
        "ERROR: ALLOCATE MEMORY FOR THIS PROGRAM FAILED,PLEASE CHECK THE MEMORY USAGE\n");
    endFailedUpdate(file, false);
    return false;
  }
  *fileSize = measureFile(file);
  // Only a check that the whole file would fit in memory: nothing uses it.
  void* wholeFile = *fileSize == 0 ? nullptr : platform::allocate(*fileSize);
  if (*fileSize != 0 && wholeFile == nullptr) {
    noteOutcome(RunOutcome::kNoMemory);
    platform::print("malloc memory buffer failed!!\n");
    endFailedUpdate(file, true);
    return false;
  }
  if (wholeFile != nullptr) platform::release(wholeFile);
  if (toolContext.imageKind != kImageKindUpdatable) {
    noteOutcome(RunOutcome::kRefused);
    platform::print("Please select the correct image file and try again.\n");
    endFailedUpdate(file, true);
    return false;
  }
  return true;
}

int updateFirmware() {
  platform::File* file = platform::fileOpen(toolContext.firmwareFile, "rb");
  if (file == nullptr) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("ERROR: OPEN BINARY FILE FAILED\n\n");
    return -1;
  }
  if (!askUpdateInfo(file)) return -1;
  uint64_t fileSize = 0;
  if (!prepareImage(file, &fileSize)) return -1;

  platform::print("Check if this file is valid................\n");
  RegionList& regions = toolContext.regions;
  if (buildRegionList(file, fileSize, toolContext.pageBuffer, &regions) == 0) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print(
        "Error!\nUpdate package type mismatch!\nPlease select the correct type and try again!\n");
    return endFailedUpdate(file, true);
  }
  platform::print("If the FW update fails,PLEASE TRY AGAIN\n");
  if (uploadRegions(file, fileSize, regions) < 0) return -1;

  releasePageBuffer();
  platform::fileClose(file);
  platform::print("\n\n\nIf the FW update fails. PLEASE WAIT 5 MINS AND REMOVE THE AC...\n");
  toolContext.runRecord.stage = UpdateStage::kProgramming;
  if (!pollFlashProgress()) return -1;
  platform::print(
      "\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n");
  noteOutcome(RunOutcome::kSuccess);
  return 0;
}

}  // namespace

int runFirmwareUpdate() {
  const int result = updateFirmware();
  // The update has ended: what follows (--wait-bmc) stops at a signal like
  // any other wait.
  toolContext.runRecord.stage = UpdateStage::kNone;
  return result;
}
