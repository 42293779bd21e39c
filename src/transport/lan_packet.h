// RMCP and RMCP+ (IPMI v2.0) packets of a LAN session's client: building
// what it sends and taking apart, with every check, what the network sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/lan_crypto.h"

namespace lan {

constexpr size_t kMaxDatagram = 512;
constexpr size_t kMaxUserName = 16;
constexpr size_t kMaxPassword = 20;
constexpr size_t kRandomLength = 16;
constexpr size_t kGuidLength = 16;

enum PayloadType : uint8_t {
  kPayloadIpmi = 0x00,
  kPayloadOpenSessionRequest = 0x10,
  kPayloadOpenSessionResponse = 0x11,
  kPayloadRakp1 = 0x12,
  kPayloadRakp2 = 0x13,
  kPayloadRakp3 = 0x14,
  kPayloadRakp4 = 0x15,
};

// Only the suites with both integrity and confidentiality.
struct CipherSuite {
  uint8_t id;
  uint8_t authenticationAlgorithm;
  uint8_t integrityAlgorithm;
  uint8_t confidentialityAlgorithm;
  Hash hash;
  uint8_t integrityLength;  // the truncated HMAC in every session packet
  uint8_t rakp4Length;      // the truncated HMAC of RAKP message 4
};

constexpr CipherSuite kSuite17{17, 0x03, 0x04, 0x01, Hash::kSha256, 16, 16};
constexpr CipherSuite kSuite3{3, 0x01, 0x01, 0x01, Hash::kSha1, 12, 12};

// The keys of an open session.
struct SessionKeys {
  uint8_t sik[kMaxDigest];
  uint8_t k1[kMaxDigest];  // integrity
  uint8_t k2[kMaxDigest];  // confidentiality: its first 16 bytes
};

// A packet's place in the session, and the payload it carries.
struct Inbound {
  bool v15;  // IPMI v1.5 framing (only before a session)
  uint8_t payloadType;
  bool authenticated;
  bool encrypted;
  uint32_t sessionId;
  uint32_t sequence;
  const uint8_t* payload;
  size_t payloadLength;
};

// The IPMI message of a LAN request: addresses, checksums, rqSeq.
size_t buildIpmiRequest(uint8_t* out, size_t capacity, uint8_t netFnLun, uint8_t rqSeq,
                        uint8_t command, const uint8_t* data, size_t dataLength);
// The completion code and data of the reply to that request, or false when
// it is malformed or answers another request.
bool parseIpmiReply(const uint8_t* message, size_t length, uint8_t netFnLun, uint8_t rqSeq,
                    uint8_t command, const uint8_t** body, size_t* bodyLength);

// An IPMI v1.5 packet without a session (Get Channel Authentication
// Capabilities is all that goes this way).
size_t buildSessionless15(uint8_t* out, size_t capacity, const uint8_t* message, size_t length);
// A v2.0 packet outside a session (Open Session, RAKP 1 and 3).
size_t buildSessionless20(uint8_t* out, size_t capacity, uint8_t payloadType,
                          const uint8_t* payload, size_t length);
// A v2.0 packet inside the session: encrypted, padded and signed with the
// session's keys (Crypto::keySession).
size_t buildSessionPacket(uint8_t* out, size_t capacity, Crypto& crypto, const CipherSuite& suite,
                          uint32_t sessionId, uint32_t sequence, const uint8_t* payload,
                          size_t length);

// The RMCP and session headers of any packet (no integrity check yet).
bool parseHeaders(const uint8_t* bytes, size_t length, Inbound* packet);
// True when a session packet's AuthCode is right (constant time).
bool integrityHolds(Crypto& crypto, const CipherSuite& suite, const uint8_t* bytes,
                    size_t length);
// The plaintext length of an encrypted payload, or -1 when it is malformed.
int decryptPayload(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t* out,
                   size_t capacity);

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length);  // constant time

}  // namespace lan
