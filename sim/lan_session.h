// RMCP+ sessions of bmcsim's LAN: the cipher suites it offers, the Open
// Session and RAKP exchanges that set up a session's keys, and the
// inbound sequence-number window.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/rmcp_codec.h"

namespace sim::rmcp {

constexpr uint8_t kPrivilegeUser = 2;
constexpr uint8_t kPrivilegeOperator = 3;
constexpr uint8_t kPrivilegeAdministrator = 4;

// RMCP+ and RAKP status codes.
enum Status : uint8_t {
  kStatusOk = 0x00,
  kStatusNoResources = 0x01,
  kStatusInvalidSessionId = 0x02,
  kStatusInvalidRole = 0x09,
  kStatusUnauthorizedRole = 0x0A,
  kStatusInvalidNameLength = 0x0C,
  kStatusUnauthorizedName = 0x0D,
  kStatusInvalidIntegrityValue = 0x0F,
  kStatusNoMatchingCipherSuite = 0x11,
  kStatusIllegalParameter = 0x12,
};

struct CipherSuite {
  uint8_t id;
  uint8_t authentication;   // RAKP-HMAC-SHA1 1, RAKP-HMAC-SHA256 3
  uint8_t integrity;        // HMAC-SHA1-96 1, HMAC-SHA256-128 4
  uint8_t confidentiality;  // AES-CBC-128 1
  Hash hash;
  size_t integrityLength;  // AuthCode and RAKP 4 check value
};
// Suites 3 and 17, the only ones this BMC can offer; nullptr for others.
const CipherSuite* cipherSuite(uint8_t id);

struct LanUser {
  std::string name;
  std::string password;  // up to 20 bytes
  uint8_t privilege = kPrivilegeAdministrator;
};

// Takes sequence numbers up to 15 ahead of the highest seen, and up to 16
// behind it when not seen before; never 0, never one twice.
class SequenceWindow {
 public:
  bool accept(uint32_t sequence);

 private:
  uint32_t highest_ = 0;
  uint32_t seen_ = 0;  // bit i: highest_ - i was taken
};

struct Session {
  enum class State { opened, challenged, active };
  State state = State::opened;
  uint32_t bmcId = 0;
  uint32_t consoleId = 0;
  const CipherSuite* suite = nullptr;
  Bytes consoleRandom;
  Bytes bmcRandom;
  uint8_t role = 0;  // RAKP 1's requested role byte, as sent
  Bytes userName;
  uint8_t privilege = 0;
  Integrity integrity{Hash::sha1, {}, 0};
  Bytes aesKey;
  uint32_t outboundSequence = 0;
  SequenceWindow window;
  uint64_t lastUsed = 0;
};

// The sessions of one BMC and the handshake that sets them up.
class SessionTable {
 public:
  SessionTable(LanUser user, std::vector<uint8_t> suites, std::array<uint8_t, 16> guid)
      : user_(std::move(user)), suites_(std::move(suites)), guid_(guid) {}

  // Each takes the request payload and returns the response payload, or
  // nothing when the request is too short to answer.
  std::optional<Bytes> openSession(const Bytes& request, uint64_t now);
  std::optional<Bytes> rakp1(const Bytes& request);
  std::optional<Bytes> rakp3(const Bytes& request);

  Session* active(uint32_t bmcId);
  void close(uint32_t bmcId) { sessions_.erase(bmcId); }
  void closeAll() { sessions_.clear(); }
  size_t count() const { return sessions_.size(); }
  const std::vector<uint8_t>& suites() const { return suites_; }
  const LanUser& user() const { return user_; }

 private:
  Session* find(uint32_t bmcId, Session::State state);
  uint32_t newSessionId() const;
  // The password as the RAKP key: zero-padded to 20 bytes.
  Bytes passwordKey() const;
  void makeRoom();

  LanUser user_;
  std::vector<uint8_t> suites_;
  std::array<uint8_t, 16> guid_;
  std::map<uint32_t, Session> sessions_;
};

}  // namespace sim::rmcp
