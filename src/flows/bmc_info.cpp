#include "flows/bmc_info.h"

#include "flows/bmc_return.h"
#include "flows/flow_wire.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace {

// Device ID up to the product ID: 11 bytes after the completion code.
constexpr int32_t kIdentityLength = 11;

void printIdentity(const BmcIdentity& identity) {
  char revision[16];
  formatRevision(&identity.firmware, revision, sizeof revision);
  platform::print("BMC device ID: 0x%02x, device revision %u\n",
                  static_cast<unsigned>(identity.deviceId),
                  static_cast<unsigned>(identity.deviceRevision));
  platform::print("BMC firmware revision: %s\n", revision);
  platform::print("%s", identity.available
                            ? "available: yes\n"
                            : "available: no (update or initialisation in progress)\n");
  platform::print("IPMI version: %u.%u\n", static_cast<unsigned>(identity.ipmiVersion & 0x0F),
                  static_cast<unsigned>(identity.ipmiVersion >> 4));
  platform::print("Manufacturer ID: %u (0x%05x), product ID: %u (0x%04x)\n",
                  static_cast<unsigned>(identity.manufacturerId),
                  static_cast<unsigned>(identity.manufacturerId),
                  static_cast<unsigned>(identity.productId),
                  static_cast<unsigned>(identity.productId));
}

// Notes why there is no identity and prints it; returns -1.
int failed(int code) {
  if (code < 0 || isNoAnswer(static_cast<uint8_t>(code))) {
    noteOutcome(RunOutcome::kNoAnswer);
    platform::print("ERROR: THE BMC DID NOT ANSWER GET DEVICE ID\n");
  } else {
    noteOutcome(RunOutcome::kRefused);
    platform::print("ERROR: GET DEVICE ID FAILED, COMPLETION CODE 0x%02x\n",
                    static_cast<unsigned>(code));
  }
  return -1;
}

}  // namespace

bool parseBmcIdentity(const uint8_t* data, int32_t length, BmcIdentity* identity) {
  if (length < kIdentityLength) return false;
  identity->deviceId = data[0];
  identity->deviceRevision = data[1] & 0x0F;
  identity->firmware = FirmwareRevision{static_cast<uint8_t>(data[2] & 0x7F), data[3]};
  identity->available = deviceAvailable(data[2]);
  identity->ipmiVersion = data[4];
  // Byte 5 lists further device support; the IDs are least significant first.
  identity->manufacturerId =
      (data[6] | static_cast<uint32_t>(data[7]) << 8 | static_cast<uint32_t>(data[8]) << 16) &
      0xFFFFF;
  identity->productId = static_cast<uint16_t>(data[9] | data[10] << 8);
  return true;
}

int runBmcInfo() {
  uint8_t response[request::kMaxResponseData] = {};
  int32_t responseLength = 0;
  const int code = toolContext.transport.transfer(kNetFnLunApp, kCmdGetDeviceId, nullptr, 0,
                                                  response, sizeof response, &responseLength);
  BmcIdentity identity{};
  if (code != 0) return failed(code);
  // A short reply is a refusal of its own kind: the BMC answered, but not
  // with an identity.
  if (!parseBmcIdentity(response, responseLength, &identity)) {
    noteOutcome(RunOutcome::kRefused);
    platform::print("ERROR: THE GET DEVICE ID REPLY IS TOO SHORT (%d BYTES)\n",
                    static_cast<int>(responseLength));
    return -1;
  }
  RunRecord& record = toolContext.runRecord;
  record.identityKnown = true;
  record.identity = identity;
  record.revisionBeforeKnown = record.revisionAfterKnown = true;
  record.revisionBefore = record.revisionAfter = identity.firmware;
  record.availabilityKnown = true;
  record.bmcAvailable = identity.available;
  printIdentity(identity);
  noteOutcome(RunOutcome::kSuccess);
  return 0;
}
