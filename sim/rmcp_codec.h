// The packet layouts of bmcsim's RMCP+ server: the RMCP and ASF headers, the
// IPMI v1.5 session header used before a session exists, the RMCP+ session
// header and trailer, and the IPMB-style framing of IPMI messages inside
// them. Pure functions over bytes, so that every check can be tested alone.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/rmcp_crypto.h"

namespace sim::rmcp {

constexpr uint8_t kAuthTypeNone = 0x00;
constexpr uint8_t kAuthTypeRmcpPlus = 0x06;
constexpr uint8_t kPayloadEncrypted = 0x80;
constexpr uint8_t kPayloadAuthenticated = 0x40;
constexpr uint8_t kPayloadTypeMask = 0x3F;

enum PayloadType : uint8_t {
  kPayloadIpmi = 0x00,
  kPayloadOpenSessionRequest = 0x10,
  kPayloadOpenSessionResponse = 0x11,
  kPayloadRakp1 = 0x12,
  kPayloadRakp2 = 0x13,
  kPayloadRakp3 = 0x14,
  kPayloadRakp4 = 0x15,
};

uint32_t readLe32(const uint8_t* at);
void appendLe32(Bytes& out, uint32_t value);

// The pong for an ASF presence ping, or nothing when the packet is none.
std::optional<Bytes> pongFor(const Bytes& packet);

// An IPMI v1.5 packet without authentication (session ID 0 before a session).
struct V15Packet {
  uint32_t sequence;
  uint32_t sessionId;
  Bytes message;
};
std::optional<V15Packet> parseV15(const Bytes& packet);
Bytes buildV15(const Bytes& message);

// An RMCP+ packet as received: its header fields and where the payload is.
struct V20Packet {
  uint8_t payloadType;  // with the encrypted and authenticated bits
  uint32_t sessionId;
  uint32_t sequence;
  size_t payloadOffset;
  size_t payloadLength;
};
std::optional<V20Packet> parseV20(const Bytes& packet);

// The integrity of an authenticated packet: HMAC with key K1 over the session
// header, payload and trailer, cut to `length` bytes.
struct Integrity {
  Hash hash;
  Bytes key;
  size_t length;
};
// Whether the trailer is well formed and its AuthCode matches.
bool trailerValid(const Bytes& packet, const V20Packet& header, const Integrity& integrity);

// An RMCP+ packet; with `integrity` it is authenticated (pad, pad length,
// next header and AuthCode follow the payload).
Bytes buildV20(uint8_t payloadType, uint32_t sessionId, uint32_t sequence, const Bytes& payload,
               const Integrity* integrity);

// An IPMI request as framed on a LAN channel.
struct LanRequest {
  uint8_t responderAddress;
  uint8_t netFnLun;  // network function and the responder's LUN
  uint8_t requesterAddress;
  uint8_t sequenceLun;  // the requester's sequence number and LUN
  uint8_t command;
  Bytes data;
  // netFnLun command data..., as the simulated BMC takes it.
  Bytes message() const;
};
// Nothing when too short or a checksum is wrong.
std::optional<LanRequest> parseLanRequest(const Bytes& framed);
// Frames a reply message ((netFnLun|4) command cc data...) for `request`.
Bytes frameLanResponse(const LanRequest& request, const Bytes& reply);
uint8_t checksum(const uint8_t* bytes, size_t length);

}  // namespace sim::rmcp
