// A minimal RMCP+ console for bmcsim's LAN server tests: it walks the
// session handshake the way a remote console does, computing its side of
// RAKP on its own, and seals and opens IPMI requests in the session.
#pragma once

#include <optional>
#include <string>

#include "sim/lan_server.h"

namespace lantest {

using sim::rmcp::Bytes;

// The status at each step; a step not reached is std::nullopt.
struct Handshake {
  std::optional<uint8_t> openSession;
  std::optional<uint8_t> rakp2;
  std::optional<uint8_t> rakp4;
  bool rakp2Verified = false;  // the BMC proved it knows the password
  bool rakp4Verified = false;  // and derived the same session key
};

class Console {
 public:
  Console(sim::LanServer& server, std::string user, std::string password)
      : server_(server), user_(std::move(user)), password_(std::move(password)) {}

  Handshake open(uint8_t suite, uint8_t role = 0x14);
  // A sealed request packet for netFnLun/command/data.
  Bytes seal(uint8_t netFnLun, uint8_t command, const Bytes& data);
  // The reply message (netFnLun cmd cc data) inside `packet`, if it is a
  // valid reply of this session.
  std::optional<Bytes> unseal(const Bytes& packet);
  // Sends a sealed request; the reply message, if exactly one came back.
  std::optional<Bytes> ask(uint8_t netFnLun, uint8_t command, const Bytes& data = {});

  uint32_t bmcId = 0;
  uint32_t sequence = 0;

 private:
  std::optional<Bytes> exchange(uint8_t type, const Bytes& payload, uint8_t responseType);

  sim::LanServer& server_;
  std::string user_;
  std::string password_;
  const sim::rmcp::CipherSuite* suite_ = nullptr;
  sim::rmcp::Integrity integrity_{sim::rmcp::Hash::sha1, {}, 0};
  Bytes aesKey_;
  uint8_t requestSequence_ = 0;
};

}  // namespace lantest
