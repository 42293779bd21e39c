// The messages that open an RMCP+ session: Open Session and RAKP 1 to 4,
// with the key exchange authentication codes and the session keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/lan_packet.h"

namespace lan {

constexpr uint8_t kRoleAdministrator = 0x04;
constexpr uint8_t kNameOnlyLookup = 0x10;

// What both sides have said so far.
struct Handshake {
  CipherSuite suite;
  uint32_t consoleSessionId;
  uint32_t bmcSessionId;
  uint8_t consoleRandom[kRandomLength];
  uint8_t bmcRandom[kRandomLength];
  uint8_t bmcGuid[kGuidLength];
  uint8_t role;  // as RAKP 1 carried it
  uint8_t userLength;
  uint8_t user[kMaxUserName];
  uint8_t passwordLength;
  uint8_t password[kMaxPassword];
};

enum class Answer { kAccepted, kRefused, kMalformed };

size_t buildOpenSessionRequest(uint8_t* out, size_t capacity, uint8_t tag, const Handshake& h);
// Takes the BMC's session ID when it accepts the suite as asked.
Answer parseOpenSessionResponse(const uint8_t* payload, size_t length, uint8_t tag, Handshake* h);

size_t buildRakp1(uint8_t* out, size_t capacity, uint8_t tag, const Handshake& h);
// Takes the BMC's random number and GUID when its code proves the password.
Answer parseRakp2(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t tag, Handshake* h);
size_t buildRakp3(Crypto& crypto, uint8_t* out, size_t capacity, uint8_t tag, const Handshake& h);
// The session integrity key and the two keys made from it.
bool deriveKeys(Crypto& crypto, const Handshake& h, SessionKeys* keys);
Answer parseRakp4(Crypto& crypto, const uint8_t* payload, size_t length, uint8_t tag,
                  const Handshake& h, const SessionKeys& keys);

}  // namespace lan
