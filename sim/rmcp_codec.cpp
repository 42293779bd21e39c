#include "sim/rmcp_codec.h"

namespace sim::rmcp {

namespace {

constexpr uint8_t kRmcpVersion = 0x06;
constexpr uint8_t kRmcpNoAck = 0xFF;
constexpr uint8_t kClassAsf = 0x06;
constexpr uint8_t kClassIpmi = 0x07;
constexpr size_t kRmcpHeader = 4;
constexpr uint8_t kAsfIana[4] = {0x00, 0x00, 0x11, 0xBE};
constexpr uint8_t kAsfPing = 0x80;
constexpr uint8_t kAsfPong = 0x40;
constexpr uint8_t kNextHeader = 0x07;
constexpr size_t kV20Header = 12;  // auth type .. payload length

bool rmcpHeaderIs(const Bytes& packet, uint8_t messageClass) {
  return packet.size() >= kRmcpHeader && packet[0] == kRmcpVersion && packet[2] == kRmcpNoAck &&
         packet[3] == messageClass;
}

Bytes rmcpHeader(uint8_t messageClass) { return {kRmcpVersion, 0x00, kRmcpNoAck, messageClass}; }

// Integrity pad bytes so that the authenticated part, with pad length and
// next header, fills whole 32-bit words.
size_t integrityPad(size_t headerAndPayload) { return (4 - (headerAndPayload + 2) % 4) % 4; }

}  // namespace

uint32_t readLe32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void appendLe32(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

std::optional<Bytes> pongFor(const Bytes& packet) {
  constexpr size_t kAsfHeader = kRmcpHeader + 8;
  if (!rmcpHeaderIs(packet, kClassAsf) || packet.size() < kAsfHeader) return std::nullopt;
  for (size_t i = 0; i < 4; ++i) {
    if (packet[kRmcpHeader + i] != kAsfIana[i]) return std::nullopt;
  }
  if (packet[kRmcpHeader + 4] != kAsfPing) return std::nullopt;
  Bytes pong = rmcpHeader(kClassAsf);
  pong.insert(pong.end(), kAsfIana, kAsfIana + 4);
  pong.insert(pong.end(), {kAsfPong, packet[kRmcpHeader + 5], 0x00, 0x10});
  pong.insert(pong.end(), kAsfIana, kAsfIana + 4);
  pong.insert(pong.end(), {0, 0, 0, 0});  // no OEM-defined data
  pong.push_back(0x81);                   // IPMI supported, ASF version 1.0
  pong.push_back(0x00);                   // no ASF interactions
  pong.insert(pong.end(), 6, 0x00);
  return pong;
}

std::optional<V15Packet> parseV15(const Bytes& packet) {
  constexpr size_t kHeader = kRmcpHeader + 10;
  if (!rmcpHeaderIs(packet, kClassIpmi) || packet.size() < kHeader) return std::nullopt;
  if (packet[kRmcpHeader] != kAuthTypeNone) return std::nullopt;
  const size_t length = packet[kHeader - 1];
  // A legacy pad byte may follow the message.
  if (packet.size() != kHeader + length && packet.size() != kHeader + length + 1) {
    return std::nullopt;
  }
  return V15Packet{readLe32(&packet[kRmcpHeader + 1]), readLe32(&packet[kRmcpHeader + 5]),
                   Bytes(packet.begin() + kHeader, packet.begin() + kHeader + length)};
}

Bytes buildV15(const Bytes& message) {
  Bytes packet = rmcpHeader(kClassIpmi);
  packet.push_back(kAuthTypeNone);
  appendLe32(packet, 0);
  appendLe32(packet, 0);
  packet.push_back(static_cast<uint8_t>(message.size()));
  packet.insert(packet.end(), message.begin(), message.end());
  return packet;
}

std::optional<V20Packet> parseV20(const Bytes& packet) {
  if (!rmcpHeaderIs(packet, kClassIpmi) || packet.size() < kRmcpHeader + kV20Header) {
    return std::nullopt;
  }
  const uint8_t* header = &packet[kRmcpHeader];
  // OEM payloads (type 2) carry more header; this BMC has none.
  if (header[0] != kAuthTypeRmcpPlus || (header[1] & kPayloadTypeMask) == 0x02) {
    return std::nullopt;
  }
  V20Packet parsed{header[1], readLe32(header + 2), readLe32(header + 6),
                   kRmcpHeader + kV20Header, size_t(header[10]) | size_t(header[11]) << 8};
  if (parsed.payloadOffset + parsed.payloadLength > packet.size()) return std::nullopt;
  const bool authenticated = (parsed.payloadType & kPayloadAuthenticated) != 0;
  if (!authenticated && parsed.payloadOffset + parsed.payloadLength != packet.size()) {
    return std::nullopt;
  }
  return parsed;
}

bool trailerValid(const Bytes& packet, const V20Packet& header, const Integrity& integrity) {
  const size_t payloadEnd = header.payloadOffset + header.payloadLength;
  if (packet.size() < payloadEnd + 2 + integrity.length) return false;
  const size_t authCodeAt = packet.size() - integrity.length;
  const size_t padLength = packet[authCodeAt - 2];
  if (packet[authCodeAt - 1] != kNextHeader || payloadEnd + padLength + 2 != authCodeAt ||
      padLength != integrityPad(payloadEnd - kRmcpHeader)) {
    return false;
  }
  for (size_t i = payloadEnd; i < payloadEnd + padLength; ++i) {
    if (packet[i] != 0xFF) return false;
  }
  const Bytes mac = hmac(integrity.hash, integrity.key, &packet[kRmcpHeader], authCodeAt - kRmcpHeader);
  return sameBytes(mac.data(), &packet[authCodeAt], integrity.length);
}

Bytes buildV20(uint8_t payloadType, uint32_t sessionId, uint32_t sequence, const Bytes& payload,
               const Integrity* integrity) {
  Bytes packet = rmcpHeader(kClassIpmi);
  packet.push_back(kAuthTypeRmcpPlus);
  packet.push_back(integrity != nullptr ? payloadType | kPayloadAuthenticated : payloadType);
  appendLe32(packet, sessionId);
  appendLe32(packet, sequence);
  packet.push_back(static_cast<uint8_t>(payload.size()));
  packet.push_back(static_cast<uint8_t>(payload.size() >> 8));
  packet.insert(packet.end(), payload.begin(), payload.end());
  if (integrity == nullptr) return packet;
  const size_t padLength = integrityPad(packet.size() - kRmcpHeader);
  packet.insert(packet.end(), padLength, 0xFF);
  packet.push_back(static_cast<uint8_t>(padLength));
  packet.push_back(kNextHeader);
  const Bytes mac = hmac(integrity->hash, integrity->key, &packet[kRmcpHeader], packet.size() - kRmcpHeader);
  packet.insert(packet.end(), mac.begin(), mac.begin() + static_cast<long>(integrity->length));
  return packet;
}

uint8_t checksum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

Bytes LanRequest::message() const {
  // Sized first and copied: GCC 12 at -O3 misreads an insert after an
  // initializer list as out of bounds.
  Bytes out(2 + data.size());
  out[0] = netFnLun;
  out[1] = command;
  std::copy(data.begin(), data.end(), out.begin() + 2);
  return out;
}

std::optional<LanRequest> parseLanRequest(const Bytes& framed) {
  // rsAddr netFn/rsLUN chk1 rqAddr rqSeq/rqLUN cmd [data] chk2
  constexpr size_t kFraming = 7;
  if (framed.size() < kFraming || checksum(framed.data(), 3) != 0 ||
      checksum(framed.data() + 3, framed.size() - 3) != 0) {
    return std::nullopt;
  }
  return LanRequest{framed[0], framed[1], framed[3], framed[4], framed[5],
                    Bytes(framed.begin() + 6, framed.end() - 1)};
}

Bytes frameLanResponse(const LanRequest& request, const Bytes& reply) {
  Bytes out{request.requesterAddress,
            static_cast<uint8_t>((reply[0] & 0xFC) | (request.sequenceLun & 0x03))};
  out.push_back(checksum(out.data(), 2));
  out.push_back(request.responderAddress);
  out.push_back(static_cast<uint8_t>((request.sequenceLun & 0xFC) | (request.netFnLun & 0x03)));
  out.insert(out.end(), reply.begin() + 1, reply.end());
  out.push_back(checksum(out.data() + 3, out.size() - 3));
  return out;
}

}  // namespace sim::rmcp
