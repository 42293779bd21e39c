// The BMC's side of the firmware update, the USB information request and the
// flash dump, installed into a sim::Bmc. It keeps a flash image: every region
// received is checked against its block description and written at its
// offset; the dump serves the flash contents.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/bmc.h"
#include "transport/ipmi_wire.h"

namespace sim {

class FirmwareBmc {
 public:
  struct Rejection {
    int region;      // index of the region whose last chunk is refused
    uint8_t reason;  // response byte 0 of the 0xCD reply
  };
  // A GetDumpFlashData reply saying "more follow" with 3 data bytes, or
  // one with no data at all; or the next chunk served (the BMC moves on) in
  // a reply too long for the program to take.
  enum class DataFault { kShort, kEmpty, kOverlong };

  struct Knobs {
    // GetFWUpdateInfo: completion code, kind byte, or a bare reply.
    uint8_t infoCompletionCode = 0;
    uint8_t imageKind = 2;
    bool infoWithoutKind = false;
    uint32_t flashBase = 0;
    // Each update starts from an empty (erased) flash.
    bool eraseOnUpdate = false;
    // GetUSBFWUpdateInfo.
    uint8_t usbCompletionCode = 0;
    uint8_t usbKindByte = 2;
    std::optional<Rejection> reject;
    // Requests left unanswered: command and its 1-based request number.
    std::set<std::pair<uint8_t, int>> unanswered;
    // Requests the BMC carries out but whose reply is lost, as above.
    std::set<std::pair<uint8_t, int>> lostReplies;
    // GetFWUpdateProgress answers these in turn; the last one repeats.
    std::vector<uint8_t> progressSteps{100};
    // Dump.
    uint8_t prepareCompletionCode = 0;
    // Completion codes of the first readiness questions, in turn; then 0.
    std::vector<uint8_t> checkCompletionCodes;
    // Questions (counted from the first) answered 0 but "not yet".
    int notReadyQuestions = 0;
    int shortReadyReplies = 0;                   // ready replies that lack the length bytes
    std::optional<uint32_t> reportedDumpLength;  // default: the flash size
    // GetDumpFlashData replies, by 1-based request number.
    std::map<int, DataFault> dataFaults;
    // Never marks a last chunk: full chunks of 0xFF follow the flash.
    bool endlessDump = false;
  };

  struct BlockInfo {
    uint32_t offset;
    uint32_t blockLength;
    uint32_t length;
    uint8_t index;
    uint8_t count;
  };

  static constexpr uint8_t kNetFnLun = kNetFnLunOem;

  explicit FirmwareBmc(Bmc& bmc);

  Knobs knobs;
  // The flash; grows (filled with 0xFF) as regions are written.
  Bytes flash;
  std::vector<BlockInfo> blocks;
  // Protocol faults seen in the requests; empty for a well-behaved program.
  std::vector<std::string> violations;
  // Requests received per command.
  std::map<uint8_t, int> requestCount;
  // Number of regions received completely, and dump bytes served.
  int regionsCompleted = 0;
  // GetFWUpdateInfo requests so far: each one starts an update afresh.
  int updateSessions = 0;
  uint64_t dumpPosition = 0;

  // Called after every request has been handled (answered or not).
  std::function<void(const Request& request)> observer;
  // Called when a GetFWUpdateInfo request starts update number `session`
  // (from 1), before the knobs are read for its reply.
  std::function<void(int session)> onUpdateStart;
  // Called once per update, when a progress reply first says 100 percent
  // (the BMC then boots its new firmware).
  std::function<void()> onUpdateComplete;

  // Back to a fresh BMC: default knobs, empty flash and records.
  void reset();

  // True when every announced region has arrived whole and none was refused.
  bool updateComplete() const;

 private:
  std::optional<Reply> updateInfo(const Request& request);
  std::optional<Reply> blockInfo(const Request& request);
  std::optional<Reply> firmwareData(const Request& request);
  std::optional<Reply> updateProgress(const Request& request);
  std::optional<Reply> usbUpdateInfo(const Request& request);
  std::optional<Reply> prepareDump(const Request& request);
  std::optional<Reply> checkDump(const Request& request);
  std::optional<Reply> dumpData(const Request& request);

  void install(Bmc& bmc, uint8_t command,
               std::optional<Reply> (FirmwareBmc::*handler)(const Request&));
  void violation(const std::string& what);
  void storeRegionBytes(const uint8_t* bytes, size_t count);

  std::optional<BlockInfo> openRegion_;
  bool rejected_ = false;
  uint64_t regionReceived_ = 0;
  int readinessQuestions_ = 0;
  int readyReplies_ = 0;
  bool completionReported_ = false;
};

}  // namespace sim
