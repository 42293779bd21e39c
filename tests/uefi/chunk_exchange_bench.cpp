// Benchmark helper, not part of the product: the firmware update's chunk
// exchanges driven by a bare, timer-free KCS port loop ("bare"; "drained"
// adds the transport's two reads before each request), through
// kcsTransfer ("transfer"), or both in that order (no argument), so that
// bmcsim can time them against the same exchanges made by Velkoran.efi in
// the same boot. Each run sends GetFWUpdateInfo (a new update for bmcsim),
// one block description and the chunks of one region of kChunks * 49 + 1
// bytes.
#include "state/tool_context.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/uefi/uefi.h"
#include "transport/kcs.h"
#include "raw_kcs.h"

namespace {

using namespace rawkcs;

constexpr uint8_t kStateMask = 0xC0;
constexpr uint8_t kStateRead = 0x40;
constexpr uint8_t kStateIdle = 0x00;
constexpr uint32_t kChunks = 6000;

void drainOutput() {
  if (platform::portRead(kStatusPort) & kObf) platform::portRead(kDataPort);
}

// "drained": the bare loop with the transport's reads of the data and
// status registers before WRITE_START, to tell their cost from the rest.
constinit bool gDrainFirst = false;

bool writeMessage(const uint8_t* message, int length) {
  if (!waitStatus(kIbf, 0)) return false;
  if (gDrainFirst) {
    (void)platform::portRead(kDataPort);
    if (platform::portRead(kStatusPort) & kObf) return false;
  }
  platform::portWrite(kStatusPort, kWriteStart);
  if (!waitStatus(kIbf, 0)) return false;
  drainOutput();
  for (int n = 0; n < length - 1; ++n) {
    platform::portWrite(kDataPort, message[n]);
    if (!waitStatus(kIbf, 0)) return false;
    drainOutput();
  }
  platform::portWrite(kStatusPort, kWriteEnd);
  if (!waitStatus(kIbf, 0)) return false;
  drainOutput();
  platform::portWrite(kDataPort, message[length - 1]);
  return true;
}

// Reads the reply; returns its completion code, or -1.
int readReply() {
  uint8_t reply[128];
  int count = 0;
  for (;;) {
    if (!waitStatus(kIbf, 0)) return -1;
    uint8_t state = platform::portRead(kStatusPort) & kStateMask;
    if (state == kStateIdle) {
      if (waitStatus(kObf, kObf)) platform::portRead(kDataPort);
      return count >= 3 ? reply[2] : -1;
    }
    if (state != kStateRead || !waitStatus(kObf, kObf)) return -1;
    uint8_t byte = platform::portRead(kDataPort);
    if (count < 128) reply[count++] = byte;
    platform::portWrite(kDataPort, kReadNext);
  }
}

int bareExchange(const uint8_t* message, int length) {
  return writeMessage(message, length) ? readReply() : -1;
}

int transportExchange(const uint8_t* message, int length) {
  uint8_t response[200];
  int32_t responseLength = 0;
  return kcsTransfer(message[0], message[1], message + 2, length - 2, response, sizeof response,
                     &responseLength);
}

bool uploadOneRegion(int (*exchange)(const uint8_t*, int)) {
  const uint32_t length = kChunks * 49 + 1;
  const uint8_t info[] = {0xF8, 0x16, 1};
  // Offset 0, block length 0x50000, the length, index 0 of 1 region.
  uint8_t block[16] = {0xF8, 0x14, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 1};
  for (int n = 0; n < 4; ++n) block[10 + n] = uint8_t(length >> (24 - 8 * n));
  uint8_t chunk[52] = {0xF8, 0x15, 0};
  for (int n = 3; n < 52; ++n) chunk[n] = uint8_t(n);
  bool ok = exchange(info, sizeof info) == 0 && exchange(block, sizeof block) == 0;
  for (uint32_t n = 0; ok && n < kChunks; ++n) ok = exchange(chunk, sizeof chunk) == 0;
  const uint8_t last[] = {0xF8, 0x15, 1, 0x55};
  return ok && exchange(last, sizeof last) == 0;
}

const char* runOne(const char* how) {
  bool ok = false;
  gDrainFirst = text::equal(how, "drained");
  if (text::equal(how, "bare") || gDrainFirst) {
    ok = uploadOneRegion(bareExchange);
  } else {
    kcsOpen();
    ok = uploadOneRegion(transportExchange);
    kcsClose();
  }
  return ok ? "DONE" : "FAILED";
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  uefi::start(imageHandle, systemTable);
  int argc = 0;
  char** argv = nullptr;
  if (uefi::readArguments(&argc, &argv) && argc == 2) {
    platform::print("CHUNK BENCH %s %s, %u chunks\n", argv[1], runOne(argv[1]), kChunks);
  } else {
    const char* bare = runOne("bare");
    platform::print("CHUNK BENCH bare %s, kcsTransfer %s, %u chunks each\n", bare,
                    runOne("transfer"), kChunks);
  }
  uefi::releaseArguments();
  return EFI_SUCCESS;
}
