// The hostile BMCs and the checks of fuzz_flows. Built without coverage, like
// the simulator: only the program's own branches guide the fuzzer, and the
// byte-by-byte checks of a 256 KiB region stay cheap.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "flow_fuzzing.h"
#include "flows/flows.h"
#include "fuzz_support.h"
#include "image/region_list.h"
#include "sim/rig.h"
#include "state/tool_context.h"
#include "transport/ipmi_wire.h"

namespace {

using fuzzsupport::fail;
using sim::Bytes;

constexpr size_t kChunkBytes = 49;
constexpr size_t kDumpChunkBytes = 56;
constexpr size_t kMaxReply = 128;  // what the transfer takes; longer fails
// Exchanges a run may make beyond one per input byte and the ones the BMC
// grants without input: the cold reset and the few answers that end a run.
constexpr size_t kSpareExchanges = 16;

using Answer = std::optional<Bytes>;  // std::nullopt: no answer at all

Answer replyTo(const Bytes& message, uint8_t completion, const Bytes& data = {}) {
  Bytes reply{static_cast<uint8_t>(message[0] | 4), message[1], completion};
  reply.insert(reply.end(), data.begin(), data.end());
  return reply;
}

uint32_t bigEndian32(const Bytes& bytes, size_t at) {
  return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
         bytes[at + 3];
}

Bytes bigEndianBytes(uint32_t value) {
  return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

// The exchange cap and the ways any reply can go wrong at the transport.
class HostileBmc : public fuzzsupport::QuietEndpoint {
 public:
  HostileBmc(FuzzedDataProvider& input, size_t inputSize) : input_(input), cap_(inputSize) {}

  std::optional<Bytes> exchange(const Bytes& message) override {
    countExchange();
    // Anything but an OEM request is the cold reset.
    if (message.size() < 2 || message[0] != kNetFnLunOem) return replyTo(message, 0);
    return answer(message);
  }

 protected:
  void countExchange() {
    if (++exchanges_ > cap_ + granted_ + kSpareExchanges) fail();  // the run does not end
  }

  virtual Answer answer(const Bytes& message) = 0;

  bool inputLeft() const { return input_.remaining_bytes() != 0; }
  int choice(int last) { return input_.ConsumeIntegralInRange<int>(0, last); }
  // Exchanges the BMC may make without using input.
  void grant(size_t exchanges) { granted_ += exchanges; }

  // A reply the transfer cannot use: none, too short for a completion code
  // or longer than its buffer.
  Answer brokenReply(const Bytes& message) {
    switch (choice(3)) {
      case 0: return std::nullopt;
      case 1: return input_.ConsumeBytes<uint8_t>(choice(2));
      default: {
        Answer reply = replyTo(message, 0, Bytes(kMaxReply, 0xA5));
        reply->resize(kMaxReply + 1 + choice(8), 0x5A);
        return reply;
      }
    }
  }

  FuzzedDataProvider& input_;

 private:
  size_t cap_;
  size_t granted_ = 0;
  size_t exchanges_ = 0;
};

// ---- The update ----------------------------------------------------------

class UpdateBmc : public HostileBmc {
 public:
  UpdateBmc(FuzzedDataProvider& input, size_t inputSize, const Bytes& image)
      : HostileBmc(input, inputSize), image_(image) {}

  bool progressDone = false;
  std::vector<uint32_t> regionsCompleted;  // indexes, in order

  bool takeQuietly(uint8_t netFnLun, uint8_t command, const uint8_t* data,
                   size_t length) override {
    if (netFnLun != kNetFnLunOem || command != kCmdReceiveFWData || streak_ == 0) return false;
    countExchange();
    checkChunk(data, length);
    --streak_;
    return true;
  }

 private:
  Answer answer(const Bytes& message) override {
    switch (message[1]) {
      case kCmdGetFWUpdateInfo: return updateInfo(message);
      case kCmdSendBlockInfo: return blockInfo(message);
      case kCmdReceiveFWData: return firmwareData(message);
      case kCmdGetFWUpdateProgress: return progress(message);
      default: fail();  // a command the update does not send
    }
  }

  Answer updateInfo(const Bytes& message) {
    const Bytes kindTwo{2, 0, 0, 0, 0};
    if (!inputLeft()) return replyTo(message, 0, kindTwo);
    switch (choice(15)) {
      case 0: return replyTo(message, kCodeInvalidCommand);
      case 1: return replyTo(message, 0xDF);
      case 2: return replyTo(message, input_.ConsumeIntegral<uint8_t>());
      case 3: return replyTo(message, 0, {input_.ConsumeIntegral<uint8_t>()});
      case 4: return replyTo(message, 0);
      case 5: return brokenReply(message);
      default: return replyTo(message, 0, kindTwo);
    }
  }

  Answer blockInfo(const Bytes& message) {
    if (message.size() != 2 + kBlockDescriptionLength) fail();
    const uint8_t index = message[14];
    const RegionList& list = toolContext.regions;
    const ImageRegion& region = list.regions[index % kMaxRegions];
    const bool matches = index < list.count && message[15] == list.count &&
                         bigEndian32(message, 2) == uint32_t(region.offset) &&
                         bigEndian32(message, 6) == uint32_t(region.blockLength) &&
                         bigEndian32(message, 10) == uint32_t(region.length);
    // Each region in order, after the one before it went whole; a
    // description may be sent again before the region's first chunk.
    const bool again = region_ && regionIndex_ == index && sent_ == 0;
    if (!matches || index != regionsCompleted.size() || (region_ && !again)) fail();
    region_ = region;
    regionIndex_ = index;
    sent_ = 0;
    if (!inputLeft()) return replyTo(message, 0);
    switch (choice(7)) {
      case 0: return brokenReply(message);
      case 1: return replyTo(message, input_.ConsumeIntegral<uint8_t>());
      default: return replyTo(message, 0);
    }
  }

  // A chunk answered "node busy" was not taken: the same bytes come again.
  Answer firmwareData(const Bytes& message) {
    const auto before = std::make_tuple(region_, sent_, regionsCompleted.size());
    checkChunk(message.data() + 2, message.size() - 2);
    Answer reply = replyToChunk(message);
    if (reply && reply->size() > 2 && (*reply)[2] == kCodeNodeBusy) {
      std::tie(region_, sent_, std::ignore) = before;
      regionsCompleted.resize(std::get<2>(before));
    }
    return reply;
  }

  Answer replyToChunk(const Bytes& message) {
    if (streak_ > 0) {
      --streak_;
      return replyTo(message, 0);
    }
    // Out of input the BMC stops taking data: the update must give up.
    if (!inputLeft()) return Bytes{};
    switch (choice(15)) {
      case 0:
      case 1:
        streak_ = input_.ConsumeIntegralInRange<uint32_t>(0, 6000);
        grant(streak_);
        return replyTo(message, 0);
      case 2: return replyTo(message, 0xCD, {input_.ConsumeIntegral<uint8_t>()});
      case 3: return brokenReply(message);
      case 4: return replyTo(message, input_.ConsumeIntegral<uint8_t>());
      default: return replyTo(message, 0);
    }
  }

  // The chunk's bytes must be the next ones of the region as the image
  // holds them.
  void checkChunk(const uint8_t* chunk, size_t length) {
    if (!region_ || length < 1 || chunk[0] > 1) fail();
    const bool last = chunk[0] == 1;
    const size_t count = length - 1;
    if ((!last && count != kChunkBytes) || count > kChunkBytes) fail();
    if (sent_ + count > region_->length) fail();
    // The image's bytes, then 0xFF past its end; anything else is a byte
    // shifted or made up.
    const uint64_t at = region_->offset + sent_;
    const size_t fromImage = at < image_.size() ? std::min<size_t>(count, image_.size() - at) : 0;
    if (fromImage != 0 && std::memcmp(chunk + 1, image_.data() + at, fromImage) != 0) fail();
    const auto notErased = [](uint8_t byte) { return byte != 0xFF; };
    if (std::any_of(chunk + 1 + fromImage, chunk + 1 + count, notErased)) fail();
    sent_ += count;
    if (!last) return;
    if (sent_ != region_->length) fail();
    regionsCompleted.push_back(regionIndex_);
    region_.reset();
  }

  Answer progress(const Bytes& message) {
    if (region_ || regionsCompleted.size() != toolContext.regions.count) fail();
    if (!inputLeft()) {
      progressDone = true;
      return replyTo(message, 0, {100});
    }
    if (choice(7) == 0) return brokenReply(message);
    const uint8_t percent = input_.ConsumeIntegral<uint8_t>();
    progressDone = percent == 100;
    return replyTo(message, 0, {percent});
  }

  const Bytes& image_;
  std::optional<ImageRegion> region_;
  uint8_t regionIndex_ = 0;
  uint64_t sent_ = 0;
  uint32_t streak_ = 0;
};

// ---- The dump ------------------------------------------------------------

class DumpBmc : public HostileBmc {
 public:
  DumpBmc(FuzzedDataProvider& input, size_t inputSize, const Bytes& flash, uint32_t length)
      : HostileBmc(input, inputSize), flash_(flash), reportedLength_(length) {
    grant(flash.size() / kDumpChunkBytes + 1);
  }

  // The data part of every usable data reply (completion code 0), in order:
  // what a dump file may be made of.
  std::vector<Bytes> pieces;
  // Every data reply was the next part of the flash, or went missing.
  bool faithful = true;

 private:
  Answer answer(const Bytes& message) override {
    switch (message[1]) {
      case kCmdPrepareDumpFlash: return replyTo(message, inputLeft() ? prepareCode() : 0);
      case kCmdCheckDumpFlashComplete: return readiness(message);
      case kCmdGetDumpFlashData: return data(message);
      default: fail();  // a command the dump does not send
    }
  }

  // Mostly 0; else busy, or one of the refusals that end the dump.
  uint8_t prepareCode() {
    static constexpr uint8_t kCodes[] = {kCodeNodeBusy, kCodeInvalidCommand, kCodeInvalidField,
                                         kCodeNotNow};
    return choice(7) == 0 ? kCodes[choice(3)] : 0;
  }

  Answer readiness(const Bytes& message) {
    const Answer ready = replyTo(message, 0, concat({1}, bigEndianBytes(reportedLength_)));
    if (!inputLeft()) return ready;
    switch (choice(7)) {
      case 0: return replyTo(message, 0, {2});
      case 1: return replyTo(message, input_.ConsumeIntegral<uint8_t>());
      case 2: return replyTo(message, 0, {1});
      case 3: return brokenReply(message);
      default: return ready;
    }
  }

  Answer data(const Bytes& message) {
    if (!inputLeft()) return keep(replyTo(message, 0, nextChunk()));
    switch (choice(15)) {
      case 0:  // served, and lost on the way back
        nextChunk();
        return brokenReply(message);
      case 1: return brokenReply(message);  // lost before it was served
      case 2:  // anything at all
        faithful = false;
        return keep(replyTo(message, input_.ConsumeIntegral<uint8_t>(),
                            input_.ConsumeBytes<uint8_t>(choice(kMaxReply))));
      case 3:  // the next chunk under a completion code that is not 0
        faithful = false;
        return keep(replyTo(message, 1 + choice(254), nextChunk()));
      default: return keep(replyTo(message, 0, nextChunk()));
    }
  }

  // A full chunk whenever 56 bytes are left, so a flash of a multiple of 56
  // bytes ends with an empty last chunk.
  Bytes nextChunk() {
    const size_t left = flash_.size() - position_;
    const size_t count = std::min(left, kDumpChunkBytes);
    Bytes chunk{uint8_t(left < kDumpChunkBytes ? 1 : 0)};
    chunk.insert(chunk.end(), flash_.begin() + position_, flash_.begin() + position_ + count);
    position_ += count;
    return chunk;
  }

  // Notes the data a reply offers: 56 bytes after a "more follow" mark, all
  // after any other mark.
  Answer keep(Answer reply) {
    if (reply->size() < 4 || reply->size() > kMaxReply || (*reply)[2] != 0) return reply;
    const bool more = (*reply)[3] == 0;
    if (more && reply->size() < 4 + kDumpChunkBytes) return reply;
    const auto end = more ? reply->begin() + 4 + kDumpChunkBytes : reply->end();
    pieces.emplace_back(reply->begin() + 4, end);
    return reply;
  }

  static Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  const Bytes& flash_;
  uint32_t reportedLength_;
  size_t position_ = 0;
};

// True when file is the pieces' data, some of them left out, in order.
bool madeOfPieces(const Bytes& file, const std::vector<Bytes>& pieces) {
  std::set<size_t> reachable{0};
  for (const Bytes& piece : pieces) {
    std::vector<size_t> next;
    for (size_t at : reachable) {
      if (at + piece.size() <= file.size() &&
          std::equal(piece.begin(), piece.end(), file.begin() + at)) {
        next.push_back(at + piece.size());
      }
    }
    reachable.insert(next.begin(), next.end());
  }
  return reachable.count(file.size()) != 0;
}

// ---- The runs ------------------------------------------------------------

Bytes patternBytes(size_t size, uint8_t seed) {
  Bytes bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = uint8_t(1 + (state >> 16) % 255);  // no zero: the table text ends at one
  }
  return bytes;
}

// An image of one page at most: a table of a few entries at its start,
// pattern bytes after it. Regions may reach past the end of the file.
Bytes makeImage(FuzzedDataProvider& input) {
  std::string table;
  const int entries = input.ConsumeIntegralInRange<int>(0, 3);
  const size_t size = input.ConsumeIntegralInRange<size_t>(1, 4096);
  for (int i = 0; i < entries; ++i) {
    char line[64];
    snprintf(line, sizeof line, "[img]: %x %x 0 part%d.bin\n",
             input.ConsumeIntegralInRange<unsigned>(0, unsigned(size) + 200),
             input.ConsumeIntegralInRange<unsigned>(0, 400), i);
    table += line;
  }
  table += "[end]";
  Bytes image = patternBytes(std::max(size, table.size() + 1), input.ConsumeIntegral<uint8_t>());
  std::copy(table.begin(), table.end(), image.begin());
  image[table.size()] = 0;
  return image;
}

int runMode(int (*mode)()) { return mode(); }

void fuzzUpdate(FuzzedDataProvider& input, size_t size, sim::Rig& rig) {
  const Bytes image = makeImage(input);
  rig.writeFile("image.bin", image);
  toolContext.firmwareFile = "image.bin";
  toolContext.preserveConfig = input.ConsumeBool() ? 1 : 0;
  UpdateBmc bmc(input, size, image);
  fuzzsupport::routeTransfers(rig, &bmc);
  const int result = runMode(runFirmwareUpdate);
  fuzzsupport::routeTransfers(rig, nullptr);
  if (result != 0 && result != -1) fail();
  // Success only for an update that went through.
  const bool wentThrough =
      bmc.progressDone && bmc.regionsCompleted.size() == toolContext.regions.count;
  if (result == 0 && !wentThrough) fail();
}

void fuzzDump(FuzzedDataProvider& input, size_t size, sim::Rig& rig) {
  const Bytes flash = patternBytes(input.ConsumeIntegralInRange<size_t>(0, 1200),
                                   input.ConsumeIntegral<uint8_t>());
  const bool lengthTrue = input.ConsumeIntegralInRange<int>(0, 7) != 0;
  const uint32_t length = lengthTrue ? uint32_t(flash.size()) : input.ConsumeIntegral<uint32_t>();
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) rig.makeDirectory("dump.bin");
  toolContext.dumpFile = "dump.bin";
  DumpBmc bmc(input, size, flash, length);
  fuzzsupport::routeTransfers(rig, &bmc);
  const std::string consoleBefore = rig.console;
  if (runMode(runFirmwareDump) != 1) fail();
  fuzzsupport::routeTransfers(rig, nullptr);

  const std::string console = rig.console.substr(consoleBefore.size());
  const size_t phase2 = console.find("Phase2:");
  // Phase 1 ends only for a BMC without the command (0xC1) or past its bound.
  const bool phaseOneEnded =
      console.ends_with("ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n") ||
      console.ends_with("ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n") ||
      console.ends_with(" SECONDS\n\n");
  if (phase2 == std::string::npos) {
    if (!phaseOneEnded || rig.fileExists("dump.bin.partial")) fail();
    return;
  }
  if (console.find("ERROR:", phase2) != std::string::npos) return;  // a failure, reported
  const Bytes file = rig.readFile("dump.bin");
  if (!rig.fileExists("dump.bin") || !madeOfPieces(file, bmc.pieces)) fail();
  if (file.empty()) fail();  // no flash is empty: a dump without a byte failed
  if (bmc.faithful && lengthTrue && file != flash) fail();
}

// The disk's faults: reads that come back in pieces, a volume that fills
// up, a close that fails.
void setDiskFaults(FuzzedDataProvider& input) {
  const uint8_t flags = input.ConsumeIntegral<uint8_t>();
  hostplatform::Faults& faults = hostplatform::faults();
  if ((flags & 0x03) == 0) faults.readPieceLimit = input.ConsumeIntegralInRange<size_t>(1, 64);
  if ((flags & 0x0C) == 0) faults.writeLimit = input.ConsumeIntegralInRange<int64_t>(0, 1300);
  faults.closeFails = (flags & 0x70) == 0;
}

}  // namespace

namespace flowfuzz {

int runOne(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  sim::Rig rig(sim::Rig::Files::inMemory);
  rig.bindTransport();
  // An unanswered request times out after 10 s; the interface then comes
  // back instead of failing every later request too.
  rig.kcs.faults.silentRecoveryMicros = 10500000;
  fuzzsupport::FastForwardPorts ports(rig.kcs);
  const bool dump = input.ConsumeBool();
  setDiskFaults(input);
  if (dump) {
    fuzzDump(input, size, rig);
  } else {
    fuzzUpdate(input, size, rig);
  }
  return 0;
}

}  // namespace flowfuzz
