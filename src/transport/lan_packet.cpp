#include "transport/lan_packet.h"

namespace lan {
namespace {

constexpr uint8_t kRmcpHeader[] = {0x06, 0x00, 0xFF, 0x07};
constexpr uint8_t kAuthTypeNone = 0x00;
constexpr uint8_t kAuthTypeRmcpPlus = 0x06;
constexpr uint8_t kEncryptedBit = 0x80;
constexpr uint8_t kAuthenticatedBit = 0x40;
constexpr uint8_t kNextHeader = 0x07;
constexpr uint8_t kBmcAddress = 0x20;
constexpr uint8_t kConsoleAddress = 0x81;
constexpr size_t kV20HeaderEnd = 16;  // RMCP header and session header
constexpr size_t kV15HeaderEnd = 14;

uint8_t checksum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

void put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void copy(uint8_t* out, const uint8_t* in, size_t length) {
  for (size_t i = 0; i < length; ++i) out[i] = in[i];
}

size_t putV20Header(uint8_t* out, uint8_t payloadType, uint32_t sessionId, uint32_t sequence,
                    size_t payloadLength) {
  copy(out, kRmcpHeader, sizeof kRmcpHeader);
  out[4] = kAuthTypeRmcpPlus;
  out[5] = payloadType;
  put32(out + 6, sessionId);
  put32(out + 10, sequence);
  out[14] = static_cast<uint8_t>(payloadLength);
  out[15] = static_cast<uint8_t>(payloadLength >> 8);
  return kV20HeaderEnd;
}

// The integrity pad makes AuthType..Next Header a multiple of four bytes.
size_t integrityPad(size_t payloadEnd) {
  const size_t covered = payloadEnd - sizeof kRmcpHeader + 2;
  return (4 - covered % 4) % 4;
}

// IV, then the payload with its confidentiality pad, encrypted; its length.
size_t encryptPayload(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t* out,
                      size_t capacity) {
  const size_t padLength = (kAesBlock - (length + 1) % kAesBlock) % kAesBlock;
  const size_t plainLength = length + padLength + 1;
  if (kAesBlock + plainLength > capacity || plainLength > kMaxDatagram) return 0;
  uint8_t plain[kMaxDatagram];
  copy(plain, payload, length);
  for (size_t i = 0; i < padLength; ++i) plain[length + i] = static_cast<uint8_t>(i + 1);
  plain[length + padLength] = static_cast<uint8_t>(padLength);
  const bool done = crypto.random(out, kAesBlock) &&
                    crypto.sessionAes(true, out, plain, plainLength, out + kAesBlock);
  crypto.wipe(plain, plainLength);
  return done ? kAesBlock + plainLength : 0;
}

}  // namespace

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length) {
  uint8_t difference = 0;
  for (size_t i = 0; i < length; ++i) difference = static_cast<uint8_t>(difference | (a[i] ^ b[i]));
  return difference == 0;
}

size_t buildIpmiRequest(uint8_t* out, size_t capacity, uint8_t netFnLun, uint8_t rqSeq,
                        uint8_t command, const uint8_t* data, size_t dataLength) {
  const size_t length = 7 + dataLength;
  if (length > capacity) return 0;
  out[0] = kBmcAddress;
  out[1] = netFnLun;
  out[2] = checksum(out, 2);
  out[3] = kConsoleAddress;
  out[4] = static_cast<uint8_t>(rqSeq << 2);
  out[5] = command;
  if (dataLength > 0) copy(out + 6, data, dataLength);
  out[length - 1] = checksum(out + 3, length - 4);
  return length;
}

bool parseIpmiReply(const uint8_t* message, size_t length, uint8_t netFnLun, uint8_t rqSeq,
                    uint8_t command, const uint8_t** body, size_t* bodyLength) {
  if (length < 8) return false;
  if (checksum(message, 2) != message[2] || checksum(message + 3, length - 4) != message[length - 1]) {
    return false;
  }
  const uint8_t replyNetFnLun = static_cast<uint8_t>(((netFnLun >> 2) + 1) << 2);
  const uint8_t sequenceLun = static_cast<uint8_t>(rqSeq << 2 | (netFnLun & 0x03));
  if (message[1] != replyNetFnLun || message[4] != sequenceLun || message[5] != command) {
    return false;
  }
  *body = message + 6;
  *bodyLength = length - 7;
  return true;
}

size_t buildSessionless15(uint8_t* out, size_t capacity, const uint8_t* message, size_t length) {
  if (kV15HeaderEnd + length > capacity || length > 0xFF) return 0;
  copy(out, kRmcpHeader, sizeof kRmcpHeader);
  out[4] = kAuthTypeNone;
  put32(out + 5, 0);
  put32(out + 9, 0);
  out[13] = static_cast<uint8_t>(length);
  copy(out + kV15HeaderEnd, message, length);
  return kV15HeaderEnd + length;
}

size_t buildSessionless20(uint8_t* out, size_t capacity, uint8_t payloadType,
                          const uint8_t* payload, size_t length) {
  if (kV20HeaderEnd + length > capacity) return 0;
  putV20Header(out, payloadType, 0, 0, length);
  copy(out + kV20HeaderEnd, payload, length);
  return kV20HeaderEnd + length;
}

size_t buildSessionPacket(uint8_t* out, size_t capacity, Crypto& crypto, const CipherSuite& suite,
                          uint32_t sessionId, uint32_t sequence, const uint8_t* payload,
                          size_t length) {
  if (capacity < kV20HeaderEnd) return 0;
  const size_t sealed =
      encryptPayload(crypto, payload, length, out + kV20HeaderEnd, capacity - kV20HeaderEnd);
  if (sealed == 0) return 0;
  putV20Header(out, kEncryptedBit | kAuthenticatedBit | kPayloadIpmi, sessionId, sequence, sealed);
  size_t end = kV20HeaderEnd + sealed;
  const size_t pad = integrityPad(end);
  if (end + pad + 2 + suite.integrityLength > capacity) return 0;
  for (size_t i = 0; i < pad; ++i) out[end++] = 0xFF;
  out[end++] = static_cast<uint8_t>(pad);
  out[end++] = kNextHeader;
  uint8_t digest[kMaxDigest];
  if (!crypto.sessionHmac(out + sizeof kRmcpHeader, end - sizeof kRmcpHeader, digest)) {
    return 0;
  }
  copy(out + end, digest, suite.integrityLength);
  return end + suite.integrityLength;
}

bool parseHeaders(const uint8_t* bytes, size_t length, Inbound* packet) {
  if (length < kV15HeaderEnd || !sameBytes(bytes, kRmcpHeader, sizeof kRmcpHeader)) return false;
  *packet = Inbound{};
  if (bytes[4] == kAuthTypeNone) {
    // Some BMCs add one legacy pad byte after a v1.5 message.
    const size_t messageLength = bytes[13];
    if (length != kV15HeaderEnd + messageLength && length != kV15HeaderEnd + messageLength + 1) {
      return false;
    }
    packet->v15 = true;
    packet->sequence = get32(bytes + 5);
    packet->sessionId = get32(bytes + 9);
    packet->payload = bytes + kV15HeaderEnd;
    packet->payloadLength = messageLength;
    return true;
  }
  if (bytes[4] != kAuthTypeRmcpPlus || length < kV20HeaderEnd) return false;
  packet->payloadType = bytes[5] & 0x3F;
  packet->encrypted = (bytes[5] & kEncryptedBit) != 0;
  packet->authenticated = (bytes[5] & kAuthenticatedBit) != 0;
  packet->sessionId = get32(bytes + 6);
  packet->sequence = get32(bytes + 10);
  packet->payloadLength = static_cast<size_t>(bytes[14]) | static_cast<size_t>(bytes[15]) << 8;
  packet->payload = bytes + kV20HeaderEnd;
  const size_t payloadEnd = kV20HeaderEnd + packet->payloadLength;
  if (payloadEnd > length) return false;
  // Without a trailer nothing may follow the payload.
  return packet->authenticated || payloadEnd == length;
}

bool integrityHolds(Crypto& crypto, const CipherSuite& suite, const uint8_t* bytes,
                    size_t length) {
  Inbound packet;
  if (!parseHeaders(bytes, length, &packet) || packet.v15 || !packet.authenticated) return false;
  const size_t payloadEnd = kV20HeaderEnd + packet.payloadLength;
  const size_t pad = integrityPad(payloadEnd);
  const size_t signedEnd = payloadEnd + pad + 2;
  if (signedEnd + suite.integrityLength != length) return false;
  for (size_t i = 0; i < pad; ++i) {
    if (bytes[payloadEnd + i] != 0xFF) return false;
  }
  if (bytes[signedEnd - 2] != pad || bytes[signedEnd - 1] != kNextHeader) return false;
  uint8_t digest[kMaxDigest];
  if (!crypto.sessionHmac(bytes + sizeof kRmcpHeader, signedEnd - sizeof kRmcpHeader, digest)) {
    return false;
  }
  return sameBytes(digest, bytes + signedEnd, suite.integrityLength);
}

int decryptPayload(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t* out,
                   size_t capacity) {
  if (length < 2 * kAesBlock || length % kAesBlock != 0) return -1;
  const size_t sealedLength = length - kAesBlock;
  if (sealedLength > capacity) return -1;
  if (!crypto.sessionAes(false, payload, payload + kAesBlock, sealedLength, out)) return -1;
  const size_t padLength = out[sealedLength - 1];
  if (padLength >= kAesBlock) return -1;
  for (size_t i = 0; i < padLength; ++i) {
    if (out[sealedLength - 1 - padLength + i] != i + 1) return -1;
  }
  return static_cast<int>(sealedLength - padLength - 1);
}

}  // namespace lan
