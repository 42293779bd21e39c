#include "sim/firmware_bmc.h"

#include <algorithm>

namespace sim {

namespace {

constexpr size_t kBlockInfoBytes = 14;
constexpr size_t kChunkDataBytes = 49;
constexpr size_t kDumpChunkBytes = 56;
constexpr uint32_t kBlockUnit = 0x10000;

uint32_t bigEndian32(const Bytes& data, size_t at) {
  return (uint32_t(data[at]) << 24) | (uint32_t(data[at + 1]) << 16) |
         (uint32_t(data[at + 2]) << 8) | data[at + 3];
}

void appendBigEndian32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

uint32_t roundUpToBlocks(uint32_t length) {
  uint32_t rounded = length & ~(kBlockUnit - 1);
  return rounded == length ? length : rounded + kBlockUnit;
}

Reply ok(Bytes data = {}) { return Reply{0, std::move(data)}; }
Reply refused(uint8_t code) { return Reply{code, {}}; }

}  // namespace

FirmwareBmc::FirmwareBmc(Bmc& bmc) {
  install(bmc, kCmdGetFWUpdateInfo, &FirmwareBmc::updateInfo);
  install(bmc, kCmdSendBlockInfo, &FirmwareBmc::blockInfo);
  install(bmc, kCmdReceiveFWData, &FirmwareBmc::firmwareData);
  install(bmc, kCmdGetFWUpdateProgress, &FirmwareBmc::updateProgress);
  install(bmc, kCmdGetUSBFWUpdateInfo, &FirmwareBmc::usbUpdateInfo);
  install(bmc, kCmdPrepareDumpFlash, &FirmwareBmc::prepareDump);
  install(bmc, kCmdCheckDumpFlashComplete, &FirmwareBmc::checkDump);
  install(bmc, kCmdGetDumpFlashData, &FirmwareBmc::dumpData);
}

void FirmwareBmc::install(Bmc& bmc, uint8_t command,
                          std::optional<Reply> (FirmwareBmc::*handler)(const Request&)) {
  bmc.setHandler(kNetFnLun, command, [this, command, handler](const Request& request) {
    int number = ++requestCount[command];
    std::optional<Reply> reply;
    if (knobs.unanswered.count({command, number}) == 0) reply = (this->*handler)(request);
    if (knobs.lostReplies.count({command, number}) != 0) reply.reset();
    if (observer) observer(request);
    return reply;
  });
}

void FirmwareBmc::reset() {
  knobs = Knobs{};
  flash.clear();
  blocks.clear();
  violations.clear();
  requestCount.clear();
  observer = nullptr;
  onUpdateStart = nullptr;
  regionsCompleted = 0;
  updateSessions = 0;
  dumpPosition = 0;
  openRegion_.reset();
  rejected_ = false;
  regionReceived_ = 0;
  readinessQuestions_ = 0;
  readyReplies_ = 0;
}

void FirmwareBmc::violation(const std::string& what) { violations.push_back(what); }

bool FirmwareBmc::updateComplete() const {
  return !blocks.empty() && !openRegion_ && !rejected_ &&
         regionsCompleted == blocks.front().count;
}

std::optional<Reply> FirmwareBmc::updateInfo(const Request& request) {
  // A malformed request starts no update: the session in progress stays.
  if (request.data.size() != 1) {
    violation("GetFWUpdateInfo: " + std::to_string(request.data.size()) + " bytes");
    return refused(kCompletionInvalidLength);
  }
  if (request.data[0] > 1) {
    violation("GetFWUpdateInfo: bad preserve flag");
    return refused(kCodeInvalidField);
  }
  ++updateSessions;
  if (onUpdateStart) onUpdateStart(updateSessions);
  blocks.clear();
  regionsCompleted = 0;
  openRegion_.reset();
  rejected_ = false;
  completionReported_ = false;
  if (knobs.eraseOnUpdate) flash.clear();
  if (knobs.infoCompletionCode != 0) return Reply{knobs.infoCompletionCode, {}};
  if (knobs.infoWithoutKind) return ok();
  Bytes data{knobs.imageKind};
  appendBigEndian32(data, knobs.flashBase);
  return ok(data);
}

std::optional<Reply> FirmwareBmc::blockInfo(const Request& request) {
  const Bytes& data = request.data;
  if (data.size() != kBlockInfoBytes) {
    violation("sendBlockInfo: " + std::to_string(data.size()) + " bytes");
    return refused(kCompletionInvalidLength);
  }
  BlockInfo block{bigEndian32(data, 0), bigEndian32(data, 4), bigEndian32(data, 8), data[12],
                  data[13]};
  if (openRegion_)
    violation("sendBlockInfo: region " + std::to_string(openRegion_->index) + " unfinished");
  if (block.index != blocks.size())
    violation("sendBlockInfo: index " + std::to_string(block.index));
  if (!blocks.empty() && block.count != blocks.front().count)
    violation("sendBlockInfo: count changed");
  if (block.index >= block.count) violation("sendBlockInfo: index beyond count");
  if (block.blockLength != roundUpToBlocks(block.length)) violation("sendBlockInfo: block length");
  blocks.push_back(block);
  openRegion_ = block;
  regionReceived_ = 0;
  return ok();
}

void FirmwareBmc::storeRegionBytes(const uint8_t* bytes, size_t count) {
  uint64_t at = uint64_t(openRegion_->offset) + regionReceived_;
  if (flash.size() < at + count) flash.resize(at + count, 0xFF);
  std::copy(bytes, bytes + count, flash.begin() + at);
  regionReceived_ += count;
}

std::optional<Reply> FirmwareBmc::firmwareData(const Request& request) {
  const Bytes& data = request.data;
  if (!openRegion_ || data.empty() || data[0] > 1) {
    violation("ReceiveFWData: no region open or bad flag");
    return refused(kCodeInvalidField);
  }
  size_t count = data.size() - 1;
  uint32_t length = openRegion_->length;
  if (data[0] == 0) {
    if (count != kChunkDataBytes || regionReceived_ + count > length)
      violation("ReceiveFWData: full chunk size");
    storeRegionBytes(data.data() + 1, count);
    return ok();
  }
  if (count > kChunkDataBytes || regionReceived_ + count != length ||
      (length >= 50 && count == 0)) {
    violation("ReceiveFWData: last chunk of " + std::to_string(count) + " bytes");
  }
  storeRegionBytes(data.data() + 1, count);
  int index = openRegion_->index;
  openRegion_.reset();
  ++regionsCompleted;
  if (knobs.reject && knobs.reject->region == index) {
    rejected_ = true;
    return Reply{kCodePackageRejected, {knobs.reject->reason}};
  }
  return ok();
}

// Programming starts only once every region has arrived: before that there
// is no progress to report.
std::optional<Reply> FirmwareBmc::updateProgress(const Request& request) {
  if (!request.data.empty()) return refused(kCompletionInvalidLength);
  if (!updateComplete()) {
    violation("GetFWUpdateProgress before the upload ended");
    return refused(kCodeNotNow);
  }
  size_t poll = size_t(requestCount[kCmdGetFWUpdateProgress]) - 1;
  uint8_t percent = knobs.progressSteps.empty()
                        ? 100
                        : knobs.progressSteps[std::min(poll, knobs.progressSteps.size() - 1)];
  if (percent == 100 && !completionReported_) {
    completionReported_ = true;
    if (onUpdateComplete) onUpdateComplete();
  }
  return ok({percent});
}

std::optional<Reply> FirmwareBmc::usbUpdateInfo(const Request& request) {
  if (request.data.size() != 1) {
    violation("GetUSBFWUpdateInfo: " + std::to_string(request.data.size()) + " bytes");
    return refused(kCompletionInvalidLength);
  }
  if (request.data[0] > 1) {
    violation("GetUSBFWUpdateInfo: bad preserve flag");
    return refused(kCodeInvalidField);
  }
  if (knobs.usbCompletionCode != 0) return Reply{knobs.usbCompletionCode, {}};
  Bytes data{knobs.usbKindByte};
  appendBigEndian32(data, knobs.flashBase);
  return ok(data);
}

std::optional<Reply> FirmwareBmc::prepareDump(const Request& request) {
  if (!request.data.empty()) return refused(kCompletionInvalidLength);
  dumpPosition = 0;
  readinessQuestions_ = 0;
  return Reply{knobs.prepareCompletionCode, {}};
}

std::optional<Reply> FirmwareBmc::checkDump(const Request& request) {
  if (!request.data.empty()) return refused(kCompletionInvalidLength);
  size_t question = size_t(readinessQuestions_++);
  if (question < knobs.checkCompletionCodes.size() && knobs.checkCompletionCodes[question] != 0) {
    return Reply{knobs.checkCompletionCodes[question], {}};
  }
  if (int(question) < knobs.notReadyQuestions) return ok({2});
  if (readyReplies_++ < knobs.shortReadyReplies) return ok({1});
  Bytes data{1};
  appendBigEndian32(data, knobs.reportedDumpLength.value_or(uint32_t(flash.size())));
  return ok(data);
}

std::optional<Reply> FirmwareBmc::dumpData(const Request& request) {
  if (!request.data.empty()) return refused(kCompletionInvalidLength);
  auto fault = knobs.dataFaults.find(requestCount[kCmdGetDumpFlashData]);
  if (fault != knobs.dataFaults.end() && fault->second != DataFault::kOverlong) {
    return fault->second == DataFault::kShort ? ok({0, 0xEE, 0xEE, 0xEE}) : ok();
  }
  size_t left = flash.size() - std::min<size_t>(dumpPosition, flash.size());
  if (knobs.endlessDump && left < kDumpChunkBytes) {
    Bytes data{0};
    data.insert(data.end(), flash.begin() + (flash.size() - left), flash.end());
    data.resize(1 + kDumpChunkBytes, 0xFF);
    dumpPosition += kDumpChunkBytes;
    return ok(data);
  }
  size_t count = std::min(left, kDumpChunkBytes);
  // A full chunk whenever 56 bytes are left, so a size that is a multiple of
  // 56 ends with an empty last chunk.
  Bytes data{uint8_t(left < kDumpChunkBytes ? 1 : 0)};
  data.insert(data.end(), flash.begin() + dumpPosition, flash.begin() + dumpPosition + count);
  dumpPosition += count;
  if (fault != knobs.dataFaults.end()) data.resize(200, 0xEE);
  return ok(data);
}

}  // namespace sim
