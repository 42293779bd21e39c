#include "sim/lan_session.h"

#include <algorithm>

namespace sim::rmcp {

namespace {

constexpr CipherSuite kSuites[] = {
    {3, 0x01, 0x01, 0x01, Hash::sha1, 12},
    {17, 0x03, 0x04, 0x01, Hash::sha256, 16},
};
constexpr size_t kRandomBytes = 16;
constexpr size_t kMaximumNameLength = 16;
constexpr size_t kPasswordKeyLength = 20;
constexpr size_t kMaximumSessions = 16;
constexpr size_t kKeyConstantLength = 20;

// The start of a response that reports `status`: tag, status, two reserved
// bytes and the remote console's session ID.
Bytes responseHead(uint8_t tag, uint8_t status, uint32_t consoleId) {
  Bytes out{tag, status, 0x00, 0x00};
  appendLe32(out, consoleId);
  return out;
}

void appendAlgorithm(Bytes& out, uint8_t payloadType, uint8_t algorithm) {
  out.insert(out.end(), {payloadType, 0x00, 0x00, 0x08, algorithm, 0x00, 0x00, 0x00});
}

// The algorithm of one proposal record (type, 2 reserved, length, algorithm,
// 3 reserved), or nothing when the record is of another type.
std::optional<uint8_t> proposedAlgorithm(const Bytes& request, size_t at, uint8_t payloadType) {
  if (request[at] != payloadType) return std::nullopt;
  return static_cast<uint8_t>(request[at + 4] & 0x3F);
}

Bytes append(Bytes out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
  return out;
}

}  // namespace

const CipherSuite* cipherSuite(uint8_t id) {
  for (const CipherSuite& suite : kSuites) {
    if (suite.id == id) return &suite;
  }
  return nullptr;
}

bool SequenceWindow::accept(uint32_t sequence) {
  constexpr uint32_t kAhead = 15;
  constexpr uint32_t kBehind = 16;
  if (sequence == 0) return false;
  if (highest_ == 0 || sequence > highest_) {
    const uint32_t step = highest_ == 0 ? 0 : sequence - highest_;
    if (step > kAhead) return false;
    seen_ = (step >= 32 ? 0 : seen_ << step) | 1u;
    highest_ = sequence;
    return true;
  }
  const uint32_t back = highest_ - sequence;
  if (back > kBehind || (seen_ >> back & 1u) != 0) return false;
  seen_ |= 1u << back;
  return true;
}

std::optional<Bytes> SessionTable::openSession(const Bytes& request, uint64_t now) {
  constexpr size_t kRequestLength = 32;
  if (request.size() < 8) return std::nullopt;
  const uint8_t tag = request[0];
  const uint32_t consoleId = readLe32(&request[4]);
  if (request.size() < kRequestLength || consoleId == 0 || (request[1] & 0x0F) > 5) {
    return responseHead(tag, kStatusIllegalParameter, consoleId);
  }
  const auto authentication = proposedAlgorithm(request, 8, 0x00);
  const auto integrity = proposedAlgorithm(request, 16, 0x01);
  const auto confidentiality = proposedAlgorithm(request, 24, 0x02);
  if (!authentication || !integrity || !confidentiality) {
    return responseHead(tag, kStatusIllegalParameter, consoleId);
  }
  const CipherSuite* chosen = nullptr;
  for (uint8_t id : suites_) {
    const CipherSuite* suite = cipherSuite(id);
    if (suite->authentication == *authentication && suite->integrity == *integrity &&
        suite->confidentiality == *confidentiality) {
      chosen = suite;
    }
  }
  if (chosen == nullptr) return responseHead(tag, kStatusNoMatchingCipherSuite, consoleId);
  makeRoom();
  Session session;
  session.bmcId = newSessionId();
  session.consoleId = consoleId;
  session.suite = chosen;
  session.lastUsed = now;
  sessions_[session.bmcId] = session;

  const uint8_t maximum = (request[1] & 0x0F) == 0 ? kPrivilegeAdministrator : request[1] & 0x0F;
  Bytes out = responseHead(tag, kStatusOk, consoleId);
  out[2] = maximum;
  appendLe32(out, session.bmcId);
  appendAlgorithm(out, 0x00, chosen->authentication);
  appendAlgorithm(out, 0x01, chosen->integrity);
  appendAlgorithm(out, 0x02, chosen->confidentiality);
  return out;
}

std::optional<Bytes> SessionTable::rakp1(const Bytes& request) {
  constexpr size_t kFixedLength = 28;
  if (request.size() < 8) return std::nullopt;
  const uint8_t tag = request[0];
  const uint32_t bmcId = readLe32(&request[4]);
  Session* session = find(bmcId, Session::State::opened);
  if (session == nullptr) session = find(bmcId, Session::State::challenged);
  if (session == nullptr) return responseHead(tag, kStatusInvalidSessionId, 0);
  const uint32_t consoleId = session->consoleId;
  uint8_t status = kStatusOk;
  const size_t nameLength = request.size() >= kFixedLength ? request[27] : 0;
  const uint8_t role = request.size() >= kFixedLength ? request[24] : 0;
  if (request.size() < kFixedLength || nameLength > kMaximumNameLength ||
      request.size() != kFixedLength + nameLength) {
    status = kStatusInvalidNameLength;
  } else if (std::string(request.begin() + kFixedLength, request.end()) != user_.name) {
    status = kStatusUnauthorizedName;
  } else if ((role & 0x0F) < 1 || (role & 0x0F) > kPrivilegeAdministrator || (role & 0xE0) != 0) {
    status = kStatusInvalidRole;
  } else if ((role & 0x0F) > user_.privilege) {
    status = kStatusUnauthorizedRole;
  }
  if (status != kStatusOk) {
    sessions_.erase(bmcId);
    return responseHead(tag, status, consoleId);
  }
  session->consoleRandom.assign(request.begin() + 8, request.begin() + 8 + kRandomBytes);
  session->bmcRandom = randomBytes(kRandomBytes);
  session->role = role;
  session->privilege = role & 0x0F;
  session->userName.assign(request.begin() + kFixedLength, request.end());
  session->state = Session::State::challenged;

  Bytes signed_;
  appendLe32(signed_, consoleId);
  appendLe32(signed_, bmcId);
  signed_ = append(append(append(signed_, session->consoleRandom), session->bmcRandom),
                   Bytes(guid_.begin(), guid_.end()));
  signed_.push_back(role);
  signed_.push_back(static_cast<uint8_t>(nameLength));
  signed_ = append(signed_, session->userName);
  Bytes out = responseHead(tag, kStatusOk, consoleId);
  out = append(append(out, session->bmcRandom), Bytes(guid_.begin(), guid_.end()));
  return append(out, hmac(session->suite->hash, passwordKey(), signed_));
}

std::optional<Bytes> SessionTable::rakp3(const Bytes& request) {
  if (request.size() < 8) return std::nullopt;
  const uint8_t tag = request[0];
  const uint32_t bmcId = readLe32(&request[4]);
  Session* session = find(bmcId, Session::State::challenged);
  if (session == nullptr) return responseHead(tag, kStatusInvalidSessionId, 0);
  const uint32_t consoleId = session->consoleId;
  if (request[1] != kStatusOk) {
    // The console gave up on this session (it could not verify RAKP 2).
    sessions_.erase(bmcId);
    return std::nullopt;
  }
  const Hash hash = session->suite->hash;
  const Bytes key = passwordKey();
  Bytes expected = session->bmcRandom;
  appendLe32(expected, consoleId);
  expected.push_back(session->role);
  expected.push_back(static_cast<uint8_t>(session->userName.size()));
  expected = hmac(hash, key, append(expected, session->userName));
  if (request.size() != 8 + expected.size() ||
      !sameBytes(expected.data(), &request[8], expected.size())) {
    sessions_.erase(bmcId);
    return responseHead(tag, kStatusInvalidIntegrityValue, consoleId);
  }
  Bytes keyInput = append(session->consoleRandom, session->bmcRandom);
  keyInput.push_back(session->role);
  keyInput.push_back(static_cast<uint8_t>(session->userName.size()));
  const Bytes sik = hmac(hash, key, append(keyInput, session->userName));
  // K1 and K2 come from 20-byte constants whatever the hash.
  session->integrity = {hash, hmac(hash, sik, Bytes(kKeyConstantLength, 0x01)),
                        session->suite->integrityLength};
  session->aesKey = hmac(hash, sik, Bytes(kKeyConstantLength, 0x02));
  session->aesKey.resize(kAesBlock);
  session->state = Session::State::active;

  Bytes checked = session->consoleRandom;
  appendLe32(checked, bmcId);
  checked = hmac(hash, sik, append(checked, Bytes(guid_.begin(), guid_.end())));
  checked.resize(session->suite->integrityLength);
  return append(responseHead(tag, kStatusOk, consoleId), checked);
}

Session* SessionTable::active(uint32_t bmcId) { return find(bmcId, Session::State::active); }

Session* SessionTable::find(uint32_t bmcId, Session::State state) {
  auto found = sessions_.find(bmcId);
  return found != sessions_.end() && found->second.state == state ? &found->second : nullptr;
}

Bytes SessionTable::passwordKey() const {
  Bytes key(user_.password.begin(), user_.password.end());
  key.resize(kPasswordKeyLength, 0x00);
  return key;
}

uint32_t SessionTable::newSessionId() const {
  for (;;) {
    const uint32_t id = readLe32(randomBytes(4).data());
    if (id != 0 && sessions_.count(id) == 0) return id;
  }
}

// Consoles that vanish without closing leave sessions behind; the least
// recently used one makes room for a new one.
void SessionTable::makeRoom() {
  if (sessions_.size() < kMaximumSessions) return;
  auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
    return a.second.lastUsed < b.second.lastUsed;
  });
  sessions_.erase(oldest);
}

}  // namespace sim::rmcp
