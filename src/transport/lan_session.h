// One RMCP+ session with a BMC: opened with Get Channel Authentication
// Capabilities, Open Session and RAKP 1 to 4 at Administrator privilege,
// then IPMI requests inside it, each reply checked (session ID, integrity,
// sequence window, rqSeq/netFn/command) before it is believed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/lan_handshake.h"

namespace lan {

enum class OpenResult { kOpened, kNoAnswer, kNoSuite, kRefusedCredentials };

struct Timing {
  uint64_t handshakeTryMicros;
  uint8_t handshakeTries;
  uint64_t repeatTryMicros;  // a request that may be sent again
  uint8_t repeatTries;
  uint64_t singleTryMicros;  // one that may not
};

constexpr Timing kDefaultTiming{1000000, 3, 2000000, 3, 6000000};

// True for a request the BMC may receive twice without harm.
bool repeatableRequest(uint8_t netFnLun, uint8_t command);

// The inbound sequence numbers taken so far: a packet older than the
// window, or one seen before, is a replay.
class SequenceWindow {
 public:
  bool fresh(uint32_t sequence) const;
  void take(uint32_t sequence);
  void reset() { highest_ = 0, seen_ = 0; }

 private:
  uint32_t highest_ = 0;
  uint32_t seen_ = 0;  // bit n: highest_ - n was taken
};

// The session owns its Crypto's keys: one session to a Crypto.
class Session {
 public:
  Session(Datagrams& net, Crypto& crypto, const Timing& timing = kDefaultTiming)
      : net_(net), crypto_(crypto), timing_(timing) {}

  // suite 0: 17, else 3. The password is copied and wiped at close.
  OpenResult open(const char* user, const char* password, uint8_t suite);
  // Completion code (0..255) or -1; the reply's data as TransportOps::transfer says.
  int exchange(uint8_t netFnLun, uint8_t command, const uint8_t* data, size_t dataLength,
               uint8_t* response, int32_t responseCapacity, int32_t* responseLength);
  // Close Session to the BMC, then every key and the password wiped.
  void close();
  // Forgets the session without a word to the BMC (it reset), keys wiped.
  void forget();
  bool active() const { return active_; }
  uint8_t suite() const { return h_.suite.id; }
  // A ready Close Session packet, for a signal handler to send (nullptr: none).
  const uint8_t* farewell(size_t* length) const;

 private:
  OpenResult tryOpen(const CipherSuite& suite);
  bool askCapabilities(bool* rmcpPlus);
  bool raisePrivilege();
  int openWith(const CipherSuite& suite);
  int handshake(const CipherSuite& suite, SessionKeys* keys);
  bool awaitPayload(uint8_t payloadType, uint64_t deadline, uint8_t* payload, size_t* length);
  bool sendSessionless(uint8_t payloadType, const uint8_t* payload, size_t length);
  // True when accept took a reply; false when none came in time.
  template <typename Accept>
  bool handshakeStep(uint8_t requestType, const uint8_t* request, size_t requestLength,
                     uint8_t replyType, Accept accept);
  int takeReply(const uint8_t* bytes, size_t length, uint8_t netFnLun, uint8_t rqSeq,
                uint8_t command, uint8_t* response, int32_t capacity, int32_t* responseLength);
  int exchangeWith(uint8_t netFnLun, uint8_t command, const uint8_t* data, size_t dataLength,
                   uint8_t* response, int32_t responseCapacity, int32_t* responseLength,
                   uint8_t tries, uint64_t tryMicros);
  size_t seal(uint32_t sequence, const uint8_t* message, size_t length, uint8_t* out);
  void prepareFarewell();
  void wipeSecrets();

  Datagrams& net_;
  Crypto& crypto_;
  Timing timing_;
  Handshake h_{};
  SequenceWindow window_;
  bool active_ = false;
  uint8_t tag_ = 0;
  uint8_t rqSeq_ = 0;
  uint32_t sequence_ = 0;  // the last one sent
  uint8_t farewell_[2][kMaxDatagram] = {};
  size_t farewellLength_[2] = {};
  volatile int farewellReady_ = -1;
};

}  // namespace lan
