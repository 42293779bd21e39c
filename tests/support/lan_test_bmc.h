// A BMC's side of RMCP+ for the client's tests, written from the message
// definitions with OpenSSL directly (not with the client's codec), on a
// virtual clock: a receive with nothing queued jumps to its deadline.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "transport/lan_crypto.h"

namespace lantest {

using Bytes = std::vector<uint8_t>;

class TestBmc final : public lan::Datagrams {
 public:
  std::string user = "admin";
  std::string password = "secret";
  std::set<int> suites = {3, 17};
  bool rmcpPlus = true;
  bool silent = false;
  bool administrator = true;  // else Set Session Privilege Level is refused
  // Faults for the next session reply.
  int dropReplies = 0;
  bool corruptNext = false;
  bool replayNext = false;
  bool wrongSessionNext = false;
  bool plainNext = false;  // authenticated but not encrypted

  std::vector<Bytes> sessionRequests;  // decrypted IPMI messages
  int chosenSuite = 0;
  uint32_t bmcSessionId = 0x11223344;

  bool send(const uint8_t* bytes, size_t length) override;
  int receive(uint8_t* buffer, size_t capacity, uint64_t deadlineMicros) override;
  uint64_t nowMicros() override { return now_; }

 private:
  void answerCapabilities(const Bytes& packet);
  void answerOpenSession(const Bytes& payload);
  void answerRakp1(const Bytes& payload);
  void answerRakp3(const Bytes& payload);
  void answerRequest(const Bytes& packet);
  void queueSessionless(uint8_t type, const Bytes& payload);
  Bytes seal(const Bytes& message, uint32_t sessionId);

  std::deque<Bytes> outbox_;
  uint64_t now_ = 0;
  std::map<uint8_t, Bytes> repliesBySeq_;
  uint32_t consoleSessionId_ = 0;
  uint32_t sequence_ = 0;
  uint8_t role_ = 0;
  Bytes rm_, rc_ = Bytes(16, 0x5A), guid_ = Bytes(16, 0xA5), name_;
  Bytes sik_, k1_, k2_;
};

Bytes hmac(bool sha256, const Bytes& key, const Bytes& data);
Bytes aesCbc(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in);

}  // namespace lantest
