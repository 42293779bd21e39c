#include "sim/storage_bmc.h"

#include <algorithm>
#include <utility>

#include "transport/ipmi_wire.h"

namespace sim {

namespace {

constexpr uint8_t kNetFnLunChassis = 0x00;
constexpr uint8_t kNetFnLunEvent = 0x10;
constexpr uint8_t kNetFnLunStorage = 0x28;

constexpr uint8_t kCodeOutOfSpace = 0xC4;
constexpr uint8_t kCodeReservationCancelled = 0xC5;
constexpr uint8_t kCodeOutOfRange = 0xC9;
constexpr uint8_t kCodeNotPresent = 0xCB;

constexpr uint8_t kSdrAndSelVersion = 0x51;  // IPMI 1.5 and later formats
constexpr uint8_t kReserveSupported = 0x02;
constexpr size_t kSelCapacity = 64;
constexpr size_t kFruBytes = 64;
constexpr uint8_t kSlaveAddressBmc = 0x20;
constexpr uint16_t kLastRecord = 0xFFFF;

Reply ok(Bytes data = {}) { return Reply{kCompletionOk, std::move(data)}; }
Reply refused(uint8_t code) { return Reply{code, {}}; }

uint16_t le16(const Bytes& data, size_t at) {
  return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

void putLe(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A handler for a request that must carry exactly `length` data bytes.
Handler exactly(size_t length, std::function<std::optional<Reply>(const Request&)> body) {
  return [length, body = std::move(body)](const Request& request) -> std::optional<Reply> {
    if (request.data.size() != length) return refused(kCompletionInvalidLength);
    return body(request);
  };
}

}  // namespace

StorageBmc::StorageBmc(Bmc& bmc, std::function<uint64_t()> nowMicros)
    : fru(kFruBytes, 0), now_(std::move(nowMicros)) {
  // A common header of format version 1 that names no area; its checksum
  // makes the header's bytes add up to zero.
  fru[0] = 0x01;
  fru[7] = 0xFF;
  installChassis(bmc);
  installEvents(bmc);
  installSel(bmc);
  installSdr(bmc);
  installFru(bmc);
}

void StorageBmc::installChassis(Bmc& bmc) {
  bmc.setHandler(kNetFnLunChassis, 0x00, exactly(0, [](const Request&) {
    // No capabilities; the BMC is the FRU, SDR, SEL and management device.
    return ok({0x00, kSlaveAddressBmc, kSlaveAddressBmc, kSlaveAddressBmc, kSlaveAddressBmc});
  }));
  bmc.setHandler(kNetFnLunChassis, 0x01, exactly(0, [this](const Request&) {
    constexpr uint8_t kRestorePolicyUnknown = 0x60;
    return ok({static_cast<uint8_t>(kRestorePolicyUnknown | (powerOn ? 1 : 0)), 0x00, 0x00});
  }));
  bmc.setHandler(kNetFnLunChassis, 0x02, exactly(1, [this](const Request& request) {
    const uint8_t control = request.data[0] & 0x0F;
    if (control > 5 || (request.data[0] & 0xF0) != 0) return refused(kCodeInvalidField);
    // 0 power down and 5 soft shutdown leave it off; up, cycle and reset on.
    if (control != 4) powerOn = control != 0 && control != 5;
    return ok();
  }));
}

void StorageBmc::installEvents(Bmc& bmc) {
  bmc.setHandler(kNetFnLunEvent, 0x00, exactly(2, [this](const Request& request) {
    eventReceiver_ = {request.data[0], static_cast<uint8_t>(request.data[1] & 0x03)};
    return ok();
  }));
  bmc.setHandler(kNetFnLunEvent, 0x01, exactly(0, [this](const Request&) {
    return ok({eventReceiver_[0], eventReceiver_[1]});
  }));
  // From the system interface the message carries its generator ID first.
  bmc.setHandler(kNetFnLunEvent, 0x02, exactly(8, [this](const Request& request) {
    if (sel.size() >= kSelCapacity) return refused(kCodeOutOfSpace);
    SelEntry entry{};
    entry[2] = 0x02;  // a system event record
    entry[7] = request.data[0];
    std::copy(request.data.begin() + 1, request.data.end(), entry.begin() + 9);
    addSelEntry(entry);
    return ok();
  }));
}

uint32_t StorageBmc::selSeconds() const {
  return static_cast<uint32_t>(static_cast<int64_t>(now_() / 1'000'000) + selClockOffset_);
}

uint16_t StorageBmc::addSelEntry(SelEntry entry) {
  const uint16_t id = nextRecordId_++;
  if (nextRecordId_ == kLastRecord) nextRecordId_ = 1;
  entry[0] = static_cast<uint8_t>(id);
  entry[1] = static_cast<uint8_t>(id >> 8);
  // Records below type 0xE0 carry the time of their addition.
  lastAddition_ = selSeconds();
  if (entry[2] < 0xE0) {
    for (int i = 0; i < 4; ++i) entry[3 + i] = static_cast<uint8_t>(lastAddition_ >> (8 * i));
  }
  sel.push_back(entry);
  return id;
}

void StorageBmc::installSel(Bmc& bmc) {
  bmc.setHandler(kNetFnLunStorage, 0x40, exactly(0, [this](const Request&) {
    Bytes data{kSdrAndSelVersion};
    putLe(data, static_cast<uint32_t>(sel.size()), 2);
    putLe(data, static_cast<uint32_t>((kSelCapacity - sel.size()) * 16), 2);
    putLe(data, lastAddition_, 4);
    putLe(data, lastErase_, 4);
    data.push_back(kReserveSupported);
    return ok(data);
  }));
  bmc.setHandler(kNetFnLunStorage, 0x42, exactly(0, [this](const Request&) {
    if (++selReservation_ == 0) selReservation_ = 1;
    return ok({static_cast<uint8_t>(selReservation_), static_cast<uint8_t>(selReservation_ >> 8)});
  }));
  bmc.setHandler(kNetFnLunStorage, 0x43,
                 exactly(6, [this](const Request& request) { return getSelEntry(request); }));
  bmc.setHandler(kNetFnLunStorage, 0x44, exactly(16, [this](const Request& request) {
    if (sel.size() >= kSelCapacity) return refused(kCodeOutOfSpace);
    SelEntry entry{};
    std::copy(request.data.begin(), request.data.end(), entry.begin());
    const uint16_t id = addSelEntry(entry);
    return ok({static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)});
  }));
  bmc.setHandler(kNetFnLunStorage, 0x47,
                 exactly(6, [this](const Request& request) { return clearSel(request); }));
  bmc.setHandler(kNetFnLunStorage, 0x48, exactly(0, [this](const Request&) {
    Bytes data;
    putLe(data, selSeconds(), 4);
    return ok(data);
  }));
  bmc.setHandler(kNetFnLunStorage, 0x49, exactly(4, [this](const Request& request) {
    const uint32_t wanted = static_cast<uint32_t>(le16(request.data, 0) | le16(request.data, 2) << 16);
    selClockOffset_ = static_cast<int64_t>(wanted) - static_cast<int64_t>(now_() / 1'000'000);
    return ok();
  }));
}

std::optional<Reply> StorageBmc::getSelEntry(const Request& request) const {
  const Bytes& data = request.data;
  const uint16_t wanted = le16(data, 2);
  const uint8_t offset = data[4];
  const uint8_t count = data[5];
  // A partial read must hold the reservation.
  if (offset != 0 && le16(data, 0) != selReservation_) return refused(kCodeReservationCancelled);
  if (offset >= 16) return refused(kCodeOutOfRange);
  auto entry = std::find_if(sel.begin(), sel.end(), [wanted](const SelEntry& e) {
    return (e[0] | e[1] << 8) == wanted;
  });
  if (wanted == 0) entry = sel.begin();
  if (wanted == kLastRecord && !sel.empty()) entry = sel.end() - 1;
  if (entry == sel.end()) return refused(kCodeNotPresent);
  const uint16_t next = entry + 1 == sel.end() ? kLastRecord
                                               : static_cast<uint16_t>((*(entry + 1))[0] |
                                                                       (*(entry + 1))[1] << 8);
  Bytes reply{static_cast<uint8_t>(next), static_cast<uint8_t>(next >> 8)};
  const size_t available = 16 - size_t{offset};
  const size_t taken = count == 0xFF ? available : std::min<size_t>(count, available);
  reply.insert(reply.end(), entry->begin() + offset, entry->begin() + offset + taken);
  return ok(reply);
}

std::optional<Reply> StorageBmc::clearSel(const Request& request) {
  const Bytes& data = request.data;
  if (le16(data, 0) != selReservation_ || selReservation_ == 0) {
    return refused(kCodeReservationCancelled);
  }
  const uint8_t action = data[5];
  if (data[2] != 'C' || data[3] != 'L' || data[4] != 'R' || (action != 0xAA && action != 0x00)) {
    return refused(kCodeInvalidField);
  }
  if (action == 0xAA) {
    sel.clear();
    lastErase_ = selSeconds();
  }
  constexpr uint8_t kErasureCompleted = 0x01;
  return ok({kErasureCompleted});
}

void StorageBmc::installSdr(Bmc& bmc) {
  bmc.setHandler(kNetFnLunStorage, 0x20, exactly(0, [](const Request&) {
    // No records and no room: the repository takes no additions.
    Bytes data{kSdrAndSelVersion, 0, 0, 0, 0};
    putLe(data, 0, 4);
    putLe(data, 0, 4);
    data.push_back(kReserveSupported);
    return ok(data);
  }));
  bmc.setHandler(kNetFnLunStorage, 0x22, exactly(0, [this](const Request&) {
    if (++sdrReservation_ == 0) sdrReservation_ = 1;
    return ok({static_cast<uint8_t>(sdrReservation_), static_cast<uint8_t>(sdrReservation_ >> 8)});
  }));
  bmc.setHandler(kNetFnLunStorage, 0x23,
                 exactly(6, [](const Request&) { return refused(kCodeNotPresent); }));
}

void StorageBmc::installFru(Bmc& bmc) {
  bmc.setHandler(kNetFnLunStorage, 0x10, exactly(1, [this](const Request& request) {
    if (request.data[0] != 0) return refused(kCodeNotPresent);
    return ok({static_cast<uint8_t>(fru.size()), static_cast<uint8_t>(fru.size() >> 8), 0x00});
  }));
  bmc.setHandler(kNetFnLunStorage, 0x11,
                 exactly(4, [this](const Request& request) { return readFru(request); }));
  bmc.setHandler(kNetFnLunStorage, 0x12, [this](const Request& request) { return writeFru(request); });
}

std::optional<Reply> StorageBmc::readFru(const Request& request) const {
  if (request.data[0] != 0) return refused(kCodeNotPresent);
  const size_t offset = le16(request.data, 1);
  if (offset >= fru.size()) return refused(kCodeOutOfRange);
  constexpr size_t kMostPerReply = 32;
  const size_t count = std::min({size_t{request.data[3]}, fru.size() - offset, kMostPerReply});
  Bytes reply{static_cast<uint8_t>(count)};
  reply.insert(reply.end(), fru.begin() + static_cast<long>(offset),
               fru.begin() + static_cast<long>(offset + count));
  return ok(reply);
}

std::optional<Reply> StorageBmc::writeFru(const Request& request) {
  const Bytes& data = request.data;
  if (data.size() < 4) return refused(kCompletionInvalidLength);
  if (data[0] != 0) return refused(kCodeNotPresent);
  const size_t offset = le16(data, 1);
  const size_t count = data.size() - 3;
  if (offset + count > fru.size()) return refused(kCodeOutOfRange);
  std::copy(data.begin() + 3, data.end(), fru.begin() + static_cast<long>(offset));
  return ok({static_cast<uint8_t>(count)});
}

}  // namespace sim
