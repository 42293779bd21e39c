#include "sim/lan_server.h"

namespace sim {

using namespace rmcp;

namespace {

constexpr uint8_t kNetFnApp = 0x18;  // network function 6, LUN 0
constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint8_t kCmdGetSelfTestResults = 0x04;
constexpr uint8_t kCmdGetDeviceGuid = 0x08;
constexpr uint8_t kCmdGetSystemGuid = 0x37;
constexpr uint8_t kCmdGetChannelAuthCapabilities = 0x38;
constexpr uint8_t kCmdSetSessionPrivilege = 0x3B;
constexpr uint8_t kCmdCloseSession = 0x3C;
constexpr uint8_t kCmdGetChannelCipherSuites = 0x54;
constexpr uint8_t kLanChannel = 0x01;
constexpr uint8_t kThisChannel = 0x0E;
constexpr uint8_t kCompletionPrivilegeUnavailable = 0x80;
constexpr uint8_t kCompletionInvalidSession = 0x87;
constexpr uint8_t kCompletionInvalidField = 0xCC;
constexpr uint8_t kCompletionInsufficientPrivilege = 0xD4;
constexpr uint8_t kEncryptedIpmi = kPayloadEncrypted | kPayloadIpmi;

bool isApp(const LanRequest& request, uint8_t command) {
  return (request.netFnLun & 0xFC) == kNetFnApp && request.command == command;
}

bool handledHere(const LanRequest& request) {
  return isApp(request, kCmdGetChannelAuthCapabilities) ||
         isApp(request, kCmdGetChannelCipherSuites) || isApp(request, kCmdSetSessionPrivilege) ||
         isApp(request, kCmdCloseSession);
}

// What a session below Administrator may ask: who the BMC is and whether
// it is well. Everything else (updates, configuration, resets) needs
// Administrator.
bool permitted(const LanRequest& request, uint8_t privilege) {
  return privilege >= kPrivilegeAdministrator || isApp(request, kCmdGetDeviceId) ||
         isApp(request, kCmdGetSelfTestResults) || isApp(request, kCmdGetDeviceGuid) ||
         isApp(request, kCmdGetSystemGuid);
}

bool validChannel(uint8_t channel) {
  return (channel & 0x0F) == kThisChannel || (channel & 0x0F) == kLanChannel;
}

Bytes authenticationCapabilities() {
  // IPMI v2.0 extended data present; only named users (no null user, no
  // anonymous login); IPMI v2.0 sessions only.
  return {kLanChannel, 0x80, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00};
}

// One 16-byte slice (list index `index`) of the cipher suite records.
Bytes cipherSuiteRecords(const std::vector<uint8_t>& suites, uint8_t index) {
  Bytes all;
  for (uint8_t id : suites) {
    const CipherSuite* suite = cipherSuite(id);
    all.insert(all.end(), {0xC0, suite->id, suite->authentication,
                           static_cast<uint8_t>(0x40 | suite->integrity),
                           static_cast<uint8_t>(0x80 | suite->confidentiality)});
  }
  Bytes out{kLanChannel};
  const size_t start = size_t(index) * 16;
  for (size_t i = start; i < all.size() && i < start + 16; ++i) out.push_back(all[i]);
  return out;
}

Bytes codeOnly(const LanRequest& request, uint8_t code) {
  return replyMessage(request.netFnLun, request.command, Reply{code, {}});
}

}  // namespace

LanServer::LanServer(Bmc& bmc, const LanConfig& config, std::array<uint8_t, 16> guid,
                     std::FILE* journal)
    : bmc_(bmc), faults_(config.faults), sessions_(config.user, config.suites, guid),
      journal_(journal) {
  bmc_.onColdReset([this] { coldReset_ = true; });
}

bool LanServer::watchReboot() {
  if (bmc_.available && !bmc_.available()) {
    bmcWasDown_ = true;
    return false;
  }
  if (bmcWasDown_) sessions_.closeAll();
  bmcWasDown_ = false;
  return true;
}

std::vector<LanDatagram> LanServer::handle(const Bytes& packet, uint64_t now) {
  // A rebooting BMC answers nothing, and its sessions do not survive.
  if (!watchReboot()) return {};
  if (std::optional<Bytes> pong = pongFor(packet)) return {{*pong}};
  if (std::optional<V15Packet> legacy = parseV15(packet)) {
    // Only the questions asked before a session; no IPMI v1.5 sessions.
    std::optional<LanRequest> request = parseLanRequest(legacy->message);
    if (legacy->sessionId != 0 || !request) return {};
    std::optional<Bytes> reply = answer(*request, nullptr);
    if (!reply) return {};
    return withFaults(buildV15(frameLanResponse(*request, *reply)));
  }
  std::optional<V20Packet> header = parseV20(packet);
  if (!header) return {};
  return header->sessionId == 0 ? sessionless(packet, *header, now)
                                : inSession(packet, *header, now);
}

std::vector<LanDatagram> LanServer::sessionless(const Bytes& packet, const V20Packet& header,
                                                uint64_t now) {
  if ((header.payloadType & (kPayloadEncrypted | kPayloadAuthenticated)) != 0) return {};
  const Bytes payload(packet.begin() + static_cast<long>(header.payloadOffset),
                      packet.begin() + static_cast<long>(header.payloadOffset + header.payloadLength));
  std::optional<Bytes> response;
  uint8_t responseType = 0;
  switch (header.payloadType) {
    case kPayloadOpenSessionRequest:
      response = sessions_.openSession(payload, now);
      responseType = kPayloadOpenSessionResponse;
      break;
    case kPayloadRakp1:
      response = sessions_.rakp1(payload);
      responseType = kPayloadRakp2;
      break;
    case kPayloadRakp3:
      response = sessions_.rakp3(payload);
      responseType = kPayloadRakp4;
      break;
    case kPayloadIpmi: {
      std::optional<LanRequest> request = parseLanRequest(payload);
      std::optional<Bytes> reply = request ? answer(*request, nullptr) : std::nullopt;
      if (!reply) return {};
      return withFaults(buildV20(kPayloadIpmi, 0, 0, frameLanResponse(*request, *reply), nullptr));
    }
    default:
      return {};
  }
  if (!response) return {};
  return {{buildV20(responseType, 0, 0, *response, nullptr)}};
}

std::vector<LanDatagram> LanServer::inSession(const Bytes& packet, const V20Packet& header,
                                              uint64_t now) {
  Session* session = sessions_.active(header.sessionId);
  // Integrity before the window, so that a forged packet cannot move it.
  if (session == nullptr || header.payloadType != (kEncryptedIpmi | kPayloadAuthenticated) ||
      !trailerValid(packet, header, session->integrity) ||
      !session->window.accept(header.sequence)) {
    return {};
  }
  std::optional<Bytes> plain =
      aesCbcDecrypt(session->aesKey, &packet[header.payloadOffset], header.payloadLength);
  std::optional<LanRequest> request = plain ? parseLanRequest(*plain) : std::nullopt;
  if (!request) return {};
  session->lastUsed = now;
  std::optional<Bytes> reply = answer(*request, session);
  std::vector<LanDatagram> out;
  if (reply) {
    const Bytes payload = aesCbcEncrypt(session->aesKey, frameLanResponse(*request, *reply));
    out = withFaults(buildV20(kEncryptedIpmi, session->consoleId, ++session->outboundSequence,
                              payload, &session->integrity));
  }
  // The reply to Close Session or Cold Reset still goes out in the session.
  if (closing_ != 0) sessions_.close(closing_);
  if (coldReset_) sessions_.closeAll();
  closing_ = 0;
  coldReset_ = false;
  return out;
}

std::optional<Bytes> LanServer::answer(const LanRequest& request, Session* session) {
  const uint8_t sequence = request.sequenceLun >> 2;
  log("REQ", sequence, request.message());
  std::optional<Bytes> reply;
  if (handledHere(request)) {
    reply = sessionCommand(request, session);
  } else if (session == nullptr ||
             (!permitted(request, session->privilege) &&
              bmc_.hasHandler(request.netFnLun, request.command))) {
    // A command the BMC does not know stays an invalid command for anyone.
    reply = codeOnly(request, kCompletionInsufficientPrivilege);
  } else {
    reply = bmc_.exchange(request.message());
  }
  // A reply cut to nothing (a fault knob) cannot be framed: unanswered.
  if (reply && reply->empty()) reply.reset();
  log("RSP", sequence, reply);
  return reply;
}

std::optional<Bytes> LanServer::sessionCommand(const LanRequest& request, Session* session) {
  const Bytes& data = request.data;
  if (request.command == kCmdGetChannelAuthCapabilities) {
    if (data.size() != 2 || !validChannel(data[0])) return codeOnly(request, kCompletionInvalidField);
    return replyMessage(request.netFnLun, request.command, Reply{0, authenticationCapabilities()});
  }
  if (request.command == kCmdGetChannelCipherSuites) {
    if (data.size() != 3 || !validChannel(data[0]) || data[1] != kPayloadIpmi) {
      return codeOnly(request, kCompletionInvalidField);
    }
    return replyMessage(request.netFnLun, request.command,
                        Reply{0, cipherSuiteRecords(sessions_.suites(), data[2] & 0x3F)});
  }
  if (session == nullptr) return codeOnly(request, kCompletionInsufficientPrivilege);
  if (request.command == kCmdSetSessionPrivilege) {
    if (data.size() != 1) return codeOnly(request, kCompletionInvalidField);
    const uint8_t level = data[0] & 0x0F;
    if (level > (session->role & 0x0F) || level > kPrivilegeAdministrator) {
      return codeOnly(request, kCompletionPrivilegeUnavailable);
    }
    if (level != 0) session->privilege = level;
    return replyMessage(request.netFnLun, request.command, Reply{0, {session->privilege}});
  }
  if (data.size() < 4) return codeOnly(request, kCompletionInvalidField);
  if (readLe32(data.data()) != session->bmcId) return codeOnly(request, kCompletionInvalidSession);
  closing_ = session->bmcId;
  return codeOnly(request, 0);
}

std::vector<LanDatagram> LanServer::withFaults(Bytes packet) {
  const int number = ++repliesSent_;
  if (faults_.drop.count(number) != 0) return {};
  // One byte in the middle: inside the payload, so that the integrity
  // check (or the IPMI checksums) must catch it.
  if (faults_.corrupt.count(number) != 0) packet[packet.size() / 2] ^= 0x5A;
  auto delay = faults_.delayMillis.find(number);
  const LanDatagram datagram{packet, delay != faults_.delayMillis.end() ? delay->second : 0};
  if (faults_.duplicate.count(number) != 0) return {datagram, datagram};
  return {datagram};
}

void LanServer::log(const char* tag, uint8_t sequence, const std::optional<Bytes>& bytes) {
  if (journal_ == nullptr) return;
  std::fprintf(journal_, "%s %02X", tag, sequence);
  if (!bytes) std::fprintf(journal_, " none");
  for (uint8_t byte : bytes.value_or(Bytes{})) std::fprintf(journal_, " %02X", byte);
  std::fprintf(journal_, "\n");
  std::fflush(journal_);
}

}  // namespace sim
