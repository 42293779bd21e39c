#include "transport/lan_session.h"

#include "platform/platform.h"
#include "transport/ipmi_wire.h"
#include "transport/kcs.h"

namespace lan {
namespace {

// Channel 0x0E (this one) with the IPMI v2.0 extended data asked for.
constexpr uint8_t kThisChannelV20 = 0x8E;
// A Close Session for a signal handler goes out this far ahead of the last
// sequence number, beyond the tries of the request under way.
constexpr uint32_t kFarewellLead = 8;
constexpr uint32_t kWindowAhead = 32;
constexpr uint32_t kWindowBehind = 16;

struct Request {
  uint8_t netFnLun;
  uint8_t command;
};

// Questions that change nothing on the BMC.
constexpr Request kRepeatable[] = {
    {kNetFnLunApp, kCmdGetDeviceId},
    {kNetFnLunApp, kCmdGetSelfTestResults},
    {kNetFnLunApp, kCmdGetDeviceGuid},
    {kNetFnLunOem, kCmdGetFWUpdateProgress},
    {kNetFnLunOem, kCmdCheckDumpFlashComplete},
};

size_t copyText(uint8_t* out, size_t capacity, const char* text) {
  size_t length = 0;
  while (text[length] != '\0') {
    if (length == capacity) return capacity + 1;
    out[length] = static_cast<uint8_t>(text[length]);
    ++length;
  }
  return length;
}

const CipherSuite* suiteById(uint8_t id) {
  if (id == kSuite17.id) return &kSuite17;
  if (id == kSuite3.id) return &kSuite3;
  return nullptr;
}

}  // namespace

bool repeatableRequest(uint8_t netFnLun, uint8_t command) {
  for (const Request& request : kRepeatable) {
    if (request.netFnLun == netFnLun && request.command == command) return true;
  }
  return false;
}

bool SequenceWindow::fresh(uint32_t sequence) const {
  if (sequence == 0) return false;
  if (highest_ == 0) return true;
  if (sequence > highest_) return sequence - highest_ <= kWindowAhead;
  const uint32_t behind = highest_ - sequence;
  return behind < kWindowBehind && ((seen_ >> behind) & 1u) == 0;
}

void SequenceWindow::take(uint32_t sequence) {
  if (highest_ == 0 || sequence > highest_) {
    const uint32_t shift = highest_ == 0 ? 32 : sequence - highest_;
    seen_ = (shift >= 32 ? 0 : seen_ << shift) | 1u;
    highest_ = sequence;
  } else {
    seen_ |= 1u << (highest_ - sequence);
  }
}

OpenResult Session::open(const char* user, const char* password, uint8_t suite) {
  forget();
  const size_t userLength = copyText(h_.user, kMaxUserName, user);
  const size_t passwordLength = copyText(h_.password, kMaxPassword, password);
  if (userLength > kMaxUserName || passwordLength > kMaxPassword) {
    wipeSecrets();
    return OpenResult::kRefusedCredentials;
  }
  h_.userLength = static_cast<uint8_t>(userLength);
  h_.passwordLength = static_cast<uint8_t>(passwordLength);
  bool rmcpPlus = false;
  OpenResult result = OpenResult::kNoSuite;
  if (!askCapabilities(&rmcpPlus)) {
    result = OpenResult::kNoAnswer;
  } else if (rmcpPlus) {
    const CipherSuite* pinned = suiteById(suite);
    result = pinned != nullptr ? tryOpen(*pinned) : tryOpen(kSuite17);
    if (pinned == nullptr && result == OpenResult::kNoSuite) result = tryOpen(kSuite3);
  }
  // The keys are made: the password is no longer needed here.
  crypto_.wipe(h_.password, sizeof h_.password);
  if (result != OpenResult::kOpened) wipeSecrets();
  return result;
}

OpenResult Session::tryOpen(const CipherSuite& suite) {
  switch (openWith(suite)) {
    case 1:
      active_ = true;
      prepareFarewell();
      return raisePrivilege() ? OpenResult::kOpened : OpenResult::kRefusedCredentials;
    case 0: return OpenResult::kNoSuite;
    case -1: return OpenResult::kNoAnswer;
    default: return OpenResult::kRefusedCredentials;
  }
}

// A session begins at User privilege; the jobs need Administrator, which a
// user without it is refused here.
bool Session::raisePrivilege() {
  const uint8_t level = kRoleAdministrator;
  uint8_t response[8];
  int32_t length = 0;
  const int code = exchangeWith(kNetFnLunApp, kCmdSetSessionPrivilegeLevel, &level, 1, response,
                                sizeof response, &length, timing_.handshakeTries,
                                timing_.handshakeTryMicros);
  if (code == 0) return true;
  close();
  return false;
}

bool Session::askCapabilities(bool* rmcpPlus) {
  const uint8_t data[] = {kThisChannelV20, kRoleAdministrator};
  uint8_t message[16];
  const uint8_t seq = rqSeq_;
  rqSeq_ = static_cast<uint8_t>((rqSeq_ + 1) & 0x3F);
  const size_t messageLength = buildIpmiRequest(message, sizeof message, kNetFnLunApp, seq,
                                                kCmdGetChannelAuthCapabilities, data, sizeof data);
  uint8_t packet[32];
  const size_t length = buildSessionless15(packet, sizeof packet, message, messageLength);
  for (uint8_t attempt = 0; attempt < timing_.handshakeTries; ++attempt) {
    if (!net_.send(packet, length)) return false;
    const uint64_t deadline = net_.nowMicros() + timing_.handshakeTryMicros;
    uint8_t bytes[kMaxDatagram];
    while (net_.nowMicros() < deadline) {
      const int received = net_.receive(bytes, sizeof bytes, deadline);
      if (received < 0) break;
      Inbound in;
      const uint8_t* body = nullptr;
      size_t bodyLength = 0;
      if (!parseHeaders(bytes, static_cast<size_t>(received), &in) || !in.v15 ||
          in.sessionId != 0 ||
          !parseIpmiReply(in.payload, in.payloadLength, kNetFnLunApp, seq,
                          kCmdGetChannelAuthCapabilities, &body, &bodyLength)) {
        continue;
      }
      // Completion code, channel, v2.0 data present (bit 7), ..., RMCP+ (bit 1).
      *rmcpPlus = bodyLength >= 5 && body[0] == 0 && (body[2] & 0x80) != 0 && (body[4] & 0x02) != 0;
      return true;
    }
  }
  return false;
}

bool Session::sendSessionless(uint8_t payloadType, const uint8_t* payload, size_t length) {
  uint8_t packet[kMaxDatagram];
  const size_t packetLength = buildSessionless20(packet, sizeof packet, payloadType, payload, length);
  return packetLength != 0 && net_.send(packet, packetLength);
}

bool Session::awaitPayload(uint8_t payloadType, uint64_t deadline, uint8_t* payload,
                           size_t* length) {
  uint8_t bytes[kMaxDatagram];
  while (net_.nowMicros() < deadline) {
    const int received = net_.receive(bytes, sizeof bytes, deadline);
    if (received < 0) return false;
    Inbound in;
    if (!parseHeaders(bytes, static_cast<size_t>(received), &in) || in.v15 ||
        in.authenticated || in.encrypted || in.payloadType != payloadType) {
      continue;
    }
    for (size_t i = 0; i < in.payloadLength; ++i) payload[i] = in.payload[i];
    *length = in.payloadLength;
    return true;
  }
  return false;
}

template <typename Accept>
bool Session::handshakeStep(uint8_t requestType, const uint8_t* request, size_t requestLength,
                            uint8_t replyType, Accept accept) {
  for (uint8_t attempt = 0; attempt < timing_.handshakeTries; ++attempt) {
    if (!sendSessionless(requestType, request, requestLength)) return false;
    const uint64_t deadline = net_.nowMicros() + timing_.handshakeTryMicros;
    uint8_t payload[kMaxDatagram];
    size_t length = 0;
    while (awaitPayload(replyType, deadline, payload, &length)) {
      if (accept(payload, length)) return true;
    }
  }
  return false;
}

// 1 opened, 0 the suite refused, -1 no answer, -2 the credentials refused.
int Session::openWith(const CipherSuite& suite) {
  SessionKeys keys{};
  const int result = handshake(suite, &keys);
  // From here on only the crypto's contexts hold the keys.
  const bool keyed = result == 1 && crypto_.keySession(suite.hash, keys.k1, keys.k2);
  crypto_.wipe(&keys, sizeof keys);
  return result == 1 && !keyed ? -2 : result;
}

// Open Session and RAKP 1 to 4, the keys made on the way; as openWith.
int Session::handshake(const CipherSuite& suite, SessionKeys* keys) {
  h_.suite = suite;
  h_.role = kRoleAdministrator | kNameOnlyLookup;
  if (!crypto_.random(reinterpret_cast<uint8_t*>(&h_.consoleSessionId), 4) ||
      !crypto_.random(h_.consoleRandom, kRandomLength)) {
    return -1;
  }
  if (h_.consoleSessionId == 0) h_.consoleSessionId = 1;
  const uint8_t tag = ++tag_;
  Answer answer = Answer::kMalformed;
  auto decided = [&answer](Answer a) {
    answer = a;
    return a != Answer::kMalformed;
  };
  uint8_t request[64];
  size_t length = buildOpenSessionRequest(request, sizeof request, tag, h_);
  if (!handshakeStep(kPayloadOpenSessionRequest, request, length, kPayloadOpenSessionResponse,
                     [&](const uint8_t* p, size_t n) {
                       return decided(parseOpenSessionResponse(p, n, tag, &h_));
                     })) {
    return -1;
  }
  if (answer == Answer::kRefused) return 0;
  length = buildRakp1(request, sizeof request, tag, h_);
  if (!handshakeStep(kPayloadRakp1, request, length, kPayloadRakp2, [&](const uint8_t* p, size_t n) {
        return decided(parseRakp2(crypto_, p, n, tag, &h_));
      })) {
    return -1;
  }
  if (answer == Answer::kRefused || !deriveKeys(crypto_, h_, keys)) return -2;
  length = buildRakp3(crypto_, request, sizeof request, tag, h_);
  if (!handshakeStep(kPayloadRakp3, request, length, kPayloadRakp4, [&](const uint8_t* p, size_t n) {
        return decided(parseRakp4(crypto_, p, n, tag, h_, *keys));
      })) {
    return -1;
  }
  if (answer == Answer::kRefused) return -2;
  window_.reset();
  sequence_ = 0;
  return 1;
}

size_t Session::seal(uint32_t sequence, const uint8_t* message, size_t length, uint8_t* out) {
  return buildSessionPacket(out, kMaxDatagram, crypto_, h_.suite, h_.bmcSessionId, sequence,
                            message, length);
}

int Session::takeReply(const uint8_t* bytes, size_t length, uint8_t netFnLun, uint8_t rqSeq,
                       uint8_t command, uint8_t* response, int32_t capacity,
                       int32_t* responseLength) {
  Inbound in;
  if (!parseHeaders(bytes, length, &in) || in.v15 || in.payloadType != kPayloadIpmi ||
      !in.authenticated || !in.encrypted || in.sessionId != h_.consoleSessionId ||
      !window_.fresh(in.sequence) || !integrityHolds(crypto_, h_.suite, bytes, length)) {
    return -1;
  }
  window_.take(in.sequence);
  uint8_t message[kMaxDatagram];
  const int messageLength =
      decryptPayload(crypto_, in.payload, in.payloadLength, message, sizeof message);
  const uint8_t* body = nullptr;
  size_t bodyLength = 0;
  if (messageLength < 0 || !parseIpmiReply(message, static_cast<size_t>(messageLength), netFnLun,
                                           rqSeq, command, &body, &bodyLength)) {
    return -1;
  }
  if (bodyLength < 1 || bodyLength - 1 > static_cast<size_t>(kKcsMaxResponseData)) return -1;
  const int32_t dataCount = static_cast<int32_t>(bodyLength - 1);
  *responseLength = dataCount;
  const int32_t copied = dataCount < capacity ? dataCount : capacity;
  for (int32_t i = 0; i < copied; ++i) response[i] = body[1 + i];
  return body[0];
}

int Session::exchange(uint8_t netFnLun, uint8_t command, const uint8_t* data, size_t dataLength,
                      uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  const bool repeatable = repeatableRequest(netFnLun, command);
  return exchangeWith(netFnLun, command, data, dataLength, response, responseCapacity,
                      responseLength, repeatable ? timing_.repeatTries : 1,
                      repeatable ? timing_.repeatTryMicros : timing_.singleTryMicros);
}

int Session::exchangeWith(uint8_t netFnLun, uint8_t command, const uint8_t* data,
                          size_t dataLength, uint8_t* response, int32_t responseCapacity,
                          int32_t* responseLength, uint8_t tries, uint64_t tryMicros) {
  *responseLength = -1;
  if (!active_ || dataLength > static_cast<size_t>(kKcsMaxRequestData)) return -1;
  uint8_t message[kKcsMaxRequestData + 8];
  const uint8_t seq = rqSeq_;
  rqSeq_ = static_cast<uint8_t>((rqSeq_ + 1) & 0x3F);
  const size_t messageLength =
      buildIpmiRequest(message, sizeof message, netFnLun, seq, command, data, dataLength);
  int code = -1;
  // A stop asked for (a signal) ends the request: it is not sent again.
  for (uint8_t attempt = 0; attempt < tries && code < 0 && !platform::stopRequested(); ++attempt) {
    uint8_t packet[kMaxDatagram];
    const size_t length = seal(++sequence_, message, messageLength, packet);
    if (length == 0 || !net_.send(packet, length)) break;
    const uint64_t deadline = net_.nowMicros() + tryMicros;
    uint8_t bytes[kMaxDatagram];
    while (code < 0 && net_.nowMicros() < deadline) {
      const int received = net_.receive(bytes, sizeof bytes, deadline);
      if (received < 0) break;
      code = takeReply(bytes, static_cast<size_t>(received), netFnLun, seq, command, response,
                       responseCapacity, responseLength);
    }
  }
  prepareFarewell();
  return code;
}

void Session::prepareFarewell() {
  if (!active_) return;
  uint8_t data[4];
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(h_.bmcSessionId >> (8 * i));
  uint8_t message[16];
  const size_t messageLength = buildIpmiRequest(message, sizeof message, kNetFnLunApp, rqSeq_,
                                                kCmdCloseSession, data, sizeof data);
  const int spare = farewellReady_ == 0 ? 1 : 0;
  farewellLength_[spare] = seal(sequence_ + kFarewellLead, message, messageLength, farewell_[spare]);
  farewellReady_ = farewellLength_[spare] != 0 ? spare : -1;
}

const uint8_t* Session::farewell(size_t* length) const {
  const int ready = farewellReady_;
  if (!active_ || ready < 0) return nullptr;
  *length = farewellLength_[ready];
  return farewell_[ready];
}

void Session::close() {
  if (active_) {
    uint8_t data[4];
    for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(h_.bmcSessionId >> (8 * i));
    uint8_t response[8];
    int32_t responseLength = 0;
    exchangeWith(kNetFnLunApp, kCmdCloseSession, data, sizeof data, response, sizeof response,
                 &responseLength, 1, timing_.handshakeTryMicros);
  }
  forget();
}

void Session::forget() {
  active_ = false;
  farewellReady_ = -1;
  wipeSecrets();
}

void Session::wipeSecrets() {
  crypto_.dropSessionKeys();
  crypto_.wipe(h_.password, sizeof h_.password);
  h_.passwordLength = 0;
}

}  // namespace lan
