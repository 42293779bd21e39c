#include "transport/lan_handshake.h"

namespace lan {
namespace {

constexpr size_t kOpenSessionRequestLength = 32;
constexpr size_t kOpenSessionResponseLength = 36;
constexpr size_t kRakp2FixedLength = 40;  // before the authentication code
constexpr size_t kRakp4FixedLength = 8;
constexpr size_t kKeyConstantLength = 20;

void put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// A byte string put together piece by piece for a keyed hash.
struct Message {
  uint8_t bytes[96];
  size_t length = 0;
  void add(const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes[length++] = data[i];
  }
  void add32(uint32_t value) {
    put32(bytes + length, value);
    length += 4;
  }
  void add8(uint8_t value) { bytes[length++] = value; }
  void addUser(const Handshake& h) {
    add8(h.role);
    add8(h.userLength);
    add(h.user, h.userLength);
  }
};

void putAlgorithm(uint8_t* out, uint8_t payloadType, uint8_t algorithm) {
  const uint8_t record[8] = {payloadType, 0, 0, 8, algorithm, 0, 0, 0};
  for (size_t i = 0; i < sizeof record; ++i) out[i] = record[i];
}

bool algorithmIs(const uint8_t* record, uint8_t payloadType, uint8_t algorithm) {
  return record[0] == payloadType && record[3] == 8 && (record[4] & 0x3F) == algorithm;
}

bool keyedHash(Crypto& crypto, Hash hash, const uint8_t* key, size_t keyLength,
               Message& message, uint8_t* out) {
  const bool done = crypto.hmac(hash, key, keyLength, message.bytes, message.length, out);
  crypto.wipe(message.bytes, sizeof message.bytes);
  return done;
}

}  // namespace

size_t buildOpenSessionRequest(uint8_t* out, size_t capacity, uint8_t tag, const Handshake& h) {
  if (capacity < kOpenSessionRequestLength) return 0;
  out[0] = tag;
  out[1] = kRoleAdministrator;
  out[2] = 0;
  out[3] = 0;
  put32(out + 4, h.consoleSessionId);
  putAlgorithm(out + 8, 0, h.suite.authenticationAlgorithm);
  putAlgorithm(out + 16, 1, h.suite.integrityAlgorithm);
  putAlgorithm(out + 24, 2, h.suite.confidentialityAlgorithm);
  return kOpenSessionRequestLength;
}

Answer parseOpenSessionResponse(const uint8_t* payload, size_t length, uint8_t tag, Handshake* h) {
  if (length < 2 || payload[0] != tag) return Answer::kMalformed;
  if (payload[1] != 0) return Answer::kRefused;
  if (length < kOpenSessionResponseLength || get32(payload + 4) != h->consoleSessionId) {
    return Answer::kMalformed;
  }
  // A BMC that chose other algorithms, or less than Administrator, has not
  // agreed to what was asked.
  if ((payload[2] & 0x0F) < kRoleAdministrator ||
      !algorithmIs(payload + 12, 0, h->suite.authenticationAlgorithm) ||
      !algorithmIs(payload + 20, 1, h->suite.integrityAlgorithm) ||
      !algorithmIs(payload + 28, 2, h->suite.confidentialityAlgorithm)) {
    return Answer::kRefused;
  }
  h->bmcSessionId = get32(payload + 8);
  return h->bmcSessionId == 0 ? Answer::kMalformed : Answer::kAccepted;
}

size_t buildRakp1(uint8_t* out, size_t capacity, uint8_t tag, const Handshake& h) {
  const size_t length = 28 + h.userLength;
  if (capacity < length) return 0;
  Message m;
  m.add8(tag);
  m.add8(0);
  m.add8(0);
  m.add8(0);
  m.add32(h.bmcSessionId);
  m.add(h.consoleRandom, kRandomLength);
  m.add8(h.role);
  m.add8(0);
  m.add8(0);
  m.add8(h.userLength);
  m.add(h.user, h.userLength);
  for (size_t i = 0; i < length; ++i) out[i] = m.bytes[i];
  return length;
}

Answer parseRakp2(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t tag, Handshake* h) {
  if (length < 2 || payload[0] != tag) return Answer::kMalformed;
  if (payload[1] != 0) return Answer::kRefused;
  const size_t codeLength = digestLength(h->suite.hash);
  if (length != kRakp2FixedLength + codeLength || get32(payload + 4) != h->consoleSessionId) {
    return Answer::kMalformed;
  }
  uint8_t bmcRandom[kRandomLength];
  uint8_t bmcGuid[kGuidLength];
  for (size_t i = 0; i < kRandomLength; ++i) bmcRandom[i] = payload[8 + i];
  for (size_t i = 0; i < kGuidLength; ++i) bmcGuid[i] = payload[24 + i];
  Message m;
  m.add32(h->consoleSessionId);
  m.add32(h->bmcSessionId);
  m.add(h->consoleRandom, kRandomLength);
  m.add(bmcRandom, kRandomLength);
  m.add(bmcGuid, kGuidLength);
  m.addUser(*h);
  uint8_t expected[kMaxDigest];
  if (!keyedHash(crypto, h->suite.hash, h->password, h->passwordLength, m, expected)) {
    return Answer::kMalformed;
  }
  // Only the holder of the password computes this code: anything else is
  // another password (or another user) on the BMC's side.
  if (!sameBytes(expected, payload + kRakp2FixedLength, codeLength)) return Answer::kRefused;
  for (size_t i = 0; i < kRandomLength; ++i) h->bmcRandom[i] = bmcRandom[i];
  for (size_t i = 0; i < kGuidLength; ++i) h->bmcGuid[i] = bmcGuid[i];
  return Answer::kAccepted;
}

size_t buildRakp3(Crypto& crypto, uint8_t* out, size_t capacity, uint8_t tag, const Handshake& h) {
  const size_t codeLength = digestLength(h.suite.hash);
  if (capacity < 8 + codeLength) return 0;
  Message m;
  m.add(h.bmcRandom, kRandomLength);
  m.add32(h.consoleSessionId);
  m.addUser(h);
  if (!keyedHash(crypto, h.suite.hash, h.password, h.passwordLength, m, out + 8)) return 0;
  out[0] = tag;
  out[1] = 0;
  out[2] = 0;
  out[3] = 0;
  put32(out + 4, h.bmcSessionId);
  return 8 + codeLength;
}

bool deriveKeys(Crypto& crypto, const Handshake& h, SessionKeys* keys) {
  Message m;
  m.add(h.consoleRandom, kRandomLength);
  m.add(h.bmcRandom, kRandomLength);
  m.addUser(h);
  const Hash hash = h.suite.hash;
  const size_t n = digestLength(hash);
  if (!keyedHash(crypto, hash, h.password, h.passwordLength, m, keys->sik)) return false;
  // The constants are 20 bytes whatever the hash (K1 = HMAC(SIK, 0x01 x 20)).
  Message constant1;
  Message constant2;
  for (size_t i = 0; i < kKeyConstantLength; ++i) {
    constant1.add8(0x01);
    constant2.add8(0x02);
  }
  return keyedHash(crypto, hash, keys->sik, n, constant1, keys->k1) &&
         keyedHash(crypto, hash, keys->sik, n, constant2, keys->k2);
}

Answer parseRakp4(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t tag,
                  const Handshake& h, const SessionKeys& keys) {
  if (length < 2 || payload[0] != tag) return Answer::kMalformed;
  if (payload[1] != 0) return Answer::kRefused;
  if (length != kRakp4FixedLength + h.suite.rakp4Length ||
      get32(payload + 4) != h.consoleSessionId) {
    return Answer::kMalformed;
  }
  Message m;
  m.add(h.consoleRandom, kRandomLength);
  m.add32(h.bmcSessionId);
  m.add(h.bmcGuid, kGuidLength);
  uint8_t expected[kMaxDigest];
  if (!keyedHash(crypto, h.suite.hash, keys.sik, digestLength(h.suite.hash), m, expected)) {
    return Answer::kMalformed;
  }
  return sameBytes(expected, payload + kRakp4FixedLength, h.suite.rakp4Length) ? Answer::kAccepted
                                                                               : Answer::kRefused;
}

}  // namespace lan
