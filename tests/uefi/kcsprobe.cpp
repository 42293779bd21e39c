// A UEFI test application for the KCS transport in real firmware, against
// bmcsim --probe behind QEMU's ipmi-bmc-extern device, and for the platform
// services the modes rely on. It prints "PASS <check>" or "FAIL <check>"
// for each check; tests/e2e/test_kcs.py boots it and reads the lines.
#include "state/tool_context.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "transport/ipmi.h"
#include "transport/kcs.h"

namespace {

// bmcsim's probe commands.
constexpr uint8_t kProbeNetFnLun = 0xF8;
constexpr uint8_t kProbeEcho = 0x70;
constexpr uint8_t kProbeSized = 0x71;
constexpr uint8_t kProbeCode = 0x72;
constexpr uint8_t kProbeSilent = 0x73;
constexpr int kQemuTimeoutCode = 0xC3;

struct Exchange {
  int result;
  int32_t length;
  uint8_t data[kKcsMaxResponseData];
};

Exchange probe(uint8_t command, const uint8_t* data, int32_t dataLength) {
  Exchange exchange{};
  exchange.length = -2;
  exchange.result = toolContext.transport.transfer(kProbeNetFnLun, command, data, dataLength,
                                                   exchange.data, kKcsMaxResponseData,
                                                   &exchange.length);
  return exchange;
}

void report(const char* check, bool passed, const Exchange* exchange = nullptr) {
  platform::print("%s %s", passed ? "PASS" : "FAIL", check);
  if (!passed && exchange != nullptr) {
    platform::print(" (result %d, length %d)", exchange->result, exchange->length);
  }
  platform::print("\n");
}

bool sameBytes(const uint8_t* a, const uint8_t* b, int count) {
  for (int i = 0; i < count; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

void checkPorts() {
  toolContext.transport = kcsTransport();
  const bool opened = toolContext.transport.open() == 0;
  report("kcs.cfg ports", opened && toolContext.commandPort == 0xCA3 &&
                              toolContext.statusPort == 0xCA3 && toolContext.dataPort == 0xCA2);
}

void checkTransfers() {
  const uint8_t special[8] = {0xA0, 0xA1, 0xAA, 0x00, 0xFF, 0xAA, 0xA0, 0x10};
  Exchange e = probe(kProbeEcho, special, 8);
  report("special bytes both ways", e.result == 0 && e.length == 8 && sameBytes(e.data, special, 8),
         &e);

  const uint8_t sized[2] = {125, 0x9F};
  e = probe(kProbeSized, sized, 2);
  bool pattern = e.result == 0 && e.length == 125;
  for (int i = 0; pattern && i < 125; ++i) pattern = e.data[i] == static_cast<uint8_t>(0x9F + i);
  report("125-byte reply", pattern, &e);

  uint8_t fullRequest[kKcsMaxRequestData];
  for (int i = 0; i < kKcsMaxRequestData; ++i) fullRequest[i] = static_cast<uint8_t>(0xA0 + i);
  e = probe(kProbeEcho, fullRequest, kKcsMaxRequestData);
  report("62-byte request", e.result == 0 && e.length == kKcsMaxRequestData &&
                                sameBytes(e.data, fullRequest, kKcsMaxRequestData), &e);

  const uint8_t failing[3] = {0xCD, 0x02, 0xAA};
  e = probe(kProbeCode, failing, 3);
  report("completion code passed through",
         e.result == 0xCD && e.length == 2 && e.data[0] == 0x02 && e.data[1] == 0xAA, &e);

  e = probe(kProbeSilent, nullptr, 0);
  report("QEMU answers for a silent BMC", e.result == kQemuTimeoutCode && e.length == 0, &e);

  const uint8_t overlong[2] = {200, 0};
  e = probe(kProbeSized, overlong, 2);
  report("overlong reply fails", e.result == -1 && e.length == -1, &e);
  const uint8_t after[1] = {0x5A};
  e = probe(kProbeEcho, after, 1);
  report("transfer after a failed one", e.result == 0 && e.length == 1 && e.data[0] == 0x5A, &e);

  report("cold reset", ipmiColdReset() == 0);
}

// "long.txt" exists with more than five bytes: "wb" must leave only the new ones.
void checkFiles() {
  platform::File* file = platform::fileOpen("long.txt", "wb");
  bool ok = file != nullptr && platform::fileWrite(file, "short", 5) == 5 &&
            platform::fileClose(file) == 0;
  file = ok ? platform::fileOpen("long.txt", "rb") : nullptr;
  char text[8] = {};
  int count = 0;
  for (int byte; file != nullptr && count < 7 && (byte = platform::fileGetByte(file)) != -1;) {
    text[count++] = static_cast<char>(byte);
  }
  ok = ok && file != nullptr && count == 5 && text::equal(text, "short");
  report("wb over a longer file, read bytewise to the end", ok);
  ok = ok && platform::fileSeekEnd(file) == 0 && platform::fileTell(file) == 5;
  report("seek to the end and tell", ok);
  if (file != nullptr) platform::fileClose(file);

  file = platform::fileOpen("kcs.cfg", "r");
  char token[20] = {};
  ok = file != nullptr && platform::fileReadToken(file, token, sizeof token) &&
       text::equal(token, "CMD") && platform::fileReadToken(file, token, sizeof token) &&
       text::equal(token, "CA3");
  report("token read", ok);
  if (file != nullptr) platform::fileClose(file);
}

void checkTime() {
  platform::Timer timer = nullptr;
  bool ok = platform::timerCreate(&timer) == 0 &&
            platform::timerArm(timer, platform::kTimerUnitsPerSecond / 5) == 0;
  // Poll with short stalls for at most two seconds.
  bool fired = false;
  for (int i = 0; ok && i < 200 && !fired; ++i) {
    fired = platform::timerFired(timer);
    if (!fired) platform::stall(10000);
  }
  report("timer fires", ok && fired);

  ok = ok && platform::timerArm(timer, platform::kTimerUnitsPerSecond) == 0;
  platform::stall(400000);
  const bool early = platform::timerFired(timer);
  platform::stall(800000);
  report("stall waits", ok && !early && platform::timerFired(timer));
  if (timer != nullptr) platform::timerClose(timer);
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  uefi::start(imageHandle, systemTable);
  checkPorts();
  checkTransfers();
  checkFiles();
  checkTime();
  platform::print("KCSPROBE DONE\n");
  return EFI_SUCCESS;
}
