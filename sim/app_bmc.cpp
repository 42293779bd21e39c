#include "sim/app_bmc.h"

#include <cstdlib>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t kCompletionNoData = 0x80;
constexpr uint8_t kIpmiVersion20 = 0x02;
constexpr uint8_t kSelfTestPassed = 0x55;
constexpr uint8_t kDeviceBusy = 0x80;  // firmware or SDR update, or initialisation
// What StorageBmc implements: SDR repository, SEL, FRU inventory, chassis.
constexpr uint8_t kDeviceSupport = 0x02 | 0x04 | 0x08 | 0x80;

// A handler for a request that carries no data.
Handler withoutData(Reply reply) {
  return [reply](const Request& request) -> std::optional<Reply> {
    if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
    return reply;
  };
}

uint8_t nextBcd(uint8_t value) {
  int number = (value >> 4) * 10 + (value & 0x0F) + 1;
  if (number > 99) number = 0;
  return static_cast<uint8_t>((number / 10) << 4 | number % 10);
}

}  // namespace

AppBmc::AppBmc(Bmc& bmc, std::function<uint64_t()> nowMicros)
    : watchdog(bmc, nowMicros), storage(bmc, nowMicros), now_(std::move(nowMicros)) {
  for (size_t i = 0; i < guid.size(); ++i) guid[i] = static_cast<uint8_t>(0xA0 + i);
  bmc.setHandler(kNetFnLunApp, kCmdGetDeviceId,
                 [this](const Request& request) { return deviceId(request); });
  bmc.setHandler(kNetFnLunApp, kCmdGetSelfTestResults,
                 withoutData(Reply{kCompletionOk, {kSelfTestPassed, 0x00}}));
  // A warm reset keeps the BMC answering; it has no state worth dropping.
  bmc.setHandler(kNetFnLunApp, kCmdWarmReset, withoutData(Reply{kCompletionOk, {}}));
  bmc.setHandler(kNetFnLunApp, kCmdGetDeviceGuid, [this](const Request& request) {
    if (!request.data.empty()) return std::optional<Reply>(Reply{kCompletionInvalidLength, {}});
    return std::optional<Reply>(Reply{kCompletionOk, Bytes(guid.begin(), guid.end())});
  });
  bmc.setHandler(kNetFnLunApp, kCmdGetGlobalEnables, [this](const Request& request) {
    if (!request.data.empty()) return std::optional<Reply>(Reply{kCompletionInvalidLength, {}});
    return std::optional<Reply>(Reply{kCompletionOk, {globalEnables}});
  });
  bmc.setHandler(kNetFnLunApp, kCmdSetGlobalEnables, [this](const Request& request) {
    if (request.data.size() != 1) return std::optional<Reply>(Reply{kCompletionInvalidLength, {}});
    globalEnables = request.data[0];
    return std::optional<Reply>(Reply{kCompletionOk, {}});
  });
  installMessaging(bmc);
  bmc.onColdReset([this] { startReboot(); });
  bmc.available = [this] { return !rebooting(); };
}

// The message queue and the event buffer are always empty, and there is no
// channel to bridge a message to.
void AppBmc::installMessaging(Bmc& bmc) {
  bmc.setHandler(kNetFnLunApp, kCmdGetMessageFlags, [this](const Request& request) {
    if (!request.data.empty()) return std::optional<Reply>(Reply{kCompletionInvalidLength, {}});
    return std::optional<Reply>(Reply{kCompletionOk, {messageFlags}});
  });
  bmc.setHandler(kNetFnLunApp, kCmdClearMessageFlags, [this](const Request& request) {
    if (request.data.size() != 1) return std::optional<Reply>(Reply{kCompletionInvalidLength, {}});
    messageFlags &= static_cast<uint8_t>(~request.data[0]);
    return std::optional<Reply>(Reply{kCompletionOk, {}});
  });
  bmc.setHandler(kNetFnLunApp, kCmdGetMessage, withoutData(Reply{kCompletionNoData, {}}));
  bmc.setHandler(kNetFnLunApp, kCmdReadEventBuffer, withoutData(Reply{kCompletionNoData, {}}));
  bmc.setHandler(kNetFnLunApp, kCmdSendMessage, [](const Request& request) {
    if (request.data.size() < 2) return std::optional<Reply>(Reply{kCompletionInvalidLength, {}});
    return std::optional<Reply>(Reply{kCodeInvalidField, {}});
  });
}

std::optional<Reply> AppBmc::deviceId(const Request& request) {
  if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
  const bool busy = deviceIdAnswers++ < knobs.busyAnswers;
  return Reply{kCompletionOk,
               {
                   0x20,                                          // device id
                   0x01,                                          // device revision
                   static_cast<uint8_t>((busy ? kDeviceBusy : 0) | (knobs.firmware.major & 0x7F)),
                   knobs.firmware.minor,  // BCD
                   kIpmiVersion20,
                   kDeviceSupport,
                   static_cast<uint8_t>(knobs.manufacturerId),  // manufacturer, LSB first
                   static_cast<uint8_t>(knobs.manufacturerId >> 8),
                   static_cast<uint8_t>(knobs.manufacturerId >> 16 & 0x0F),
                   static_cast<uint8_t>(knobs.productId),  // product, LSB first
                   static_cast<uint8_t>(knobs.productId >> 8),
               }};
}

void AppBmc::updateCompleted() {
  knobs.firmware = knobs.afterUpdate.value_or(Revision{knobs.firmware.major,
                                                       nextBcd(knobs.firmware.minor)});
  ++updatesApplied;
  startReboot();
}

void AppBmc::startReboot() {
  ++reboots;
  if (knobs.rebootMicros == 0) return;
  silent_ = true;
  silentUntil_ = now_() + knobs.rebootMicros;
}

bool AppBmc::rebooting() const { return silent_ && now_() < silentUntil_; }

std::optional<AppBmc::Revision> AppBmc::parseRevision(const char* text) {
  char* end = nullptr;
  const unsigned long major = std::strtoul(text, &end, 10);
  if (end == text || *end != '.' || major > 0x7F) return std::nullopt;
  const char* minorText = end + 1;
  if (minorText[0] < '0' || minorText[0] > '9' || minorText[1] < '0' || minorText[1] > '9' ||
      minorText[2] != '\0') {
    return std::nullopt;
  }
  return Revision{static_cast<uint8_t>(major),
                  static_cast<uint8_t>((minorText[0] - '0') << 4 | (minorText[1] - '0'))};
}

}  // namespace sim
