#include "support/lan_test_bmc.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>

namespace lantest {
namespace {

void put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes le32(uint32_t v) {
  Bytes b;
  put32(b, v);
  return b;
}
uint8_t checksum(const uint8_t* p, size_t n) {
  uint8_t s = 0;
  for (size_t i = 0; i < n; ++i) s = uint8_t(s + p[i]);
  return uint8_t(-s);
}
const Bytes kRmcp = {0x06, 0x00, 0xFF, 0x07};

struct Suite {
  int id;
  uint8_t auth, integrity;
  bool sha256;
  size_t mac;
};
constexpr Suite kSuites[] = {{3, 1, 1, false, 12}, {17, 3, 4, true, 16}};
const Suite& suiteOf(int id) { return id == 17 ? kSuites[1] : kSuites[0]; }

}  // namespace

Bytes hmac(bool sha256, const Bytes& key, const Bytes& data) {
  unsigned int n = 0;
  uint8_t out[32];
  static const uint8_t none = 0;
  HMAC(sha256 ? EVP_sha256() : EVP_sha1(), key.empty() ? &none : key.data(), int(key.size()),
       data.data(), data.size(), out, &n);
  return Bytes(out, out + n);
}

Bytes aesCbc(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in) {
  Bytes out(in.size() + 16);
  int a = 0, b = 0;
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(c, EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), encrypt);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, out.data(), &a, in.data(), int(in.size()));
  EVP_CipherFinal_ex(c, out.data() + a, &b);
  EVP_CIPHER_CTX_free(c);
  out.resize(size_t(a + b));
  return out;
}

bool TestBmc::send(const uint8_t* bytes, size_t length) {
  const Bytes packet(bytes, bytes + length);
  if (silent || length < 16 || !std::equal(kRmcp.begin(), kRmcp.end(), packet.begin())) return true;
  if (packet[4] == 0x00) {
    answerCapabilities(packet);
    return true;
  }
  const Bytes payload(packet.begin() + 16, packet.begin() + 16 + (packet[14] | packet[15] << 8));
  switch (packet[5] & 0x3F) {
    case 0x10: answerOpenSession(payload); break;
    case 0x12: answerRakp1(payload); break;
    case 0x14: answerRakp3(payload); break;
    case 0x00: answerRequest(packet); break;
  }
  return true;
}

int TestBmc::receive(uint8_t* buffer, size_t capacity, uint64_t deadlineMicros) {
  if (outbox_.empty()) {
    now_ = std::max(now_, deadlineMicros);
    return -1;
  }
  const Bytes next = outbox_.front();
  outbox_.pop_front();
  const size_t n = std::min(capacity, next.size());
  std::copy(next.begin(), next.begin() + long(n), buffer);
  return int(n);
}

void TestBmc::answerCapabilities(const Bytes& packet) {
  const uint8_t rqSeq = packet[14 + 4];
  Bytes m = {0x81, 0x1C, 0, 0x20, rqSeq, 0x38, 0x00, 0x01,
             uint8_t(rmcpPlus ? 0x80 : 0x00) , 0x04, uint8_t(rmcpPlus ? 0x02 : 0x01), 0, 0, 0, 0};
  m[2] = checksum(m.data(), 2);
  m.push_back(checksum(m.data() + 3, m.size() - 3));
  outbox_.push_back(cat({kRmcp, {0x00, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(m.size())}, m}));
}

void TestBmc::queueSessionless(uint8_t type, const Bytes& payload) {
  Bytes p = cat({kRmcp, {0x06, type, 0, 0, 0, 0, 0, 0, 0, 0}});
  p.push_back(uint8_t(payload.size()));
  p.push_back(uint8_t(payload.size() >> 8));
  outbox_.push_back(cat({p, payload}));
}

void TestBmc::answerOpenSession(const Bytes& q) {
  consoleSessionId_ = get32(&q[4]);
  chosenSuite = 0;
  for (const Suite& s : kSuites) {
    if (suites.count(s.id) && q[12] == s.auth && q[20] == s.integrity && q[28] == 1) chosenSuite = s.id;
  }
  if (chosenSuite == 0) {
    queueSessionless(0x11, cat({{q[0], 0x11, 0, 0}, le32(consoleSessionId_)}));
    return;
  }
  queueSessionless(0x11, cat({{q[0], 0x00, 0x04, 0}, le32(consoleSessionId_), le32(bmcSessionId),
                              Bytes(q.begin() + 8, q.begin() + 32)}));
}

void TestBmc::answerRakp1(const Bytes& q) {
  rm_.assign(q.begin() + 8, q.begin() + 24);
  role_ = q[24];
  name_.assign(q.begin() + 28, q.begin() + 28 + q[27]);
  if (std::string(name_.begin(), name_.end()) != user) {
    queueSessionless(0x13, cat({{q[0], 0x0D, 0, 0}, le32(consoleSessionId_)}));
    return;
  }
  const Suite& s = suiteOf(chosenSuite);
  const Bytes key(password.begin(), password.end());
  const Bytes code = hmac(s.sha256, key, cat({le32(consoleSessionId_), le32(bmcSessionId), rm_, rc_,
                                              guid_, {role_, uint8_t(name_.size())}, name_}));
  queueSessionless(0x13, cat({{q[0], 0, 0, 0}, le32(consoleSessionId_), rc_, guid_, code}));
}

void TestBmc::answerRakp3(const Bytes& q) {
  const Suite& s = suiteOf(chosenSuite);
  const Bytes key(password.begin(), password.end());
  const Bytes userPart = cat({{role_, uint8_t(name_.size())}, name_});
  const Bytes expected = hmac(s.sha256, key, cat({rc_, le32(consoleSessionId_), userPart}));
  if (Bytes(q.begin() + 8, q.end()) != expected) {
    queueSessionless(0x15, cat({{q[0], 0x0F, 0, 0}, le32(consoleSessionId_)}));
    return;
  }
  sik_ = hmac(s.sha256, key, cat({rm_, rc_, userPart}));
  k1_ = hmac(s.sha256, sik_, Bytes(20, 0x01));
  k2_ = hmac(s.sha256, sik_, Bytes(20, 0x02));
  k2_.resize(16);
  Bytes icv = hmac(s.sha256, sik_, cat({rm_, le32(bmcSessionId), guid_}));
  icv.resize(s.mac);
  queueSessionless(0x15, cat({{q[0], 0, 0, 0}, le32(consoleSessionId_), icv}));
  sequence_ = 0;
}

Bytes TestBmc::seal(const Bytes& message, uint32_t sessionId) {
  const Suite& s = suiteOf(chosenSuite);
  Bytes plain = message;
  const size_t pad = (16 - (plain.size() + 1) % 16) % 16;
  for (size_t i = 1; i <= pad; ++i) plain.push_back(uint8_t(i));
  plain.push_back(uint8_t(pad));
  const Bytes iv(16, 0x3C);
  Bytes payload = plainNext ? message : cat({iv, aesCbc(true, k2_, iv, plain)});
  Bytes p = cat({kRmcp, {0x06, uint8_t(plainNext ? 0x40 : 0xC0)}, le32(sessionId), le32(++sequence_),
                 {uint8_t(payload.size()), uint8_t(payload.size() >> 8)}, payload});
  while ((p.size() - 4 + 2) % 4 != 0) p.push_back(0xFF);
  p.push_back(uint8_t((p.size() - 16 - payload.size())));
  p.push_back(0x07);
  Bytes mac = hmac(s.sha256, k1_, Bytes(p.begin() + 4, p.end()));
  mac.resize(s.mac);
  return cat({p, mac});
}

void TestBmc::answerRequest(const Bytes& packet) {
  const Suite& s = suiteOf(chosenSuite);
  const size_t length = packet[14] | packet[15] << 8;
  const Bytes mac = hmac(s.sha256, k1_, Bytes(packet.begin() + 4, packet.end() - long(s.mac)));
  if (!std::equal(packet.end() - long(s.mac), packet.end(), mac.begin())) return;
  const Bytes iv(packet.begin() + 16, packet.begin() + 32);
  Bytes plain = aesCbc(false, k2_, iv, Bytes(packet.begin() + 32, packet.begin() + 16 + long(length)));
  plain.resize(plain.size() - 1 - plain.back());
  sessionRequests.push_back(plain);
  // The reply: completion code 0 and the request's data back.
  const uint8_t code = plain[5] == 0x3B && !administrator ? 0xD4 : 0x00;
  Bytes m = {0x81, uint8_t(((plain[1] >> 2) + 1) << 2), 0, 0x20, plain[4], plain[5], code};
  m[2] = checksum(m.data(), 2);
  m.insert(m.end(), plain.begin() + 6, plain.end() - 1);
  m.push_back(checksum(m.data() + 3, m.size() - 3));
  Bytes reply = seal(m, wrongSessionNext ? consoleSessionId_ + 1 : consoleSessionId_);
  if (corruptNext) reply.back() ^= 0x01;
  // The reply to the request 64 before, which had the same rqSeq.
  if (replayNext && repliesBySeq_.count(plain[4])) reply = repliesBySeq_[plain[4]];
  const bool fault = corruptNext || replayNext || wrongSessionNext || plainNext;
  corruptNext = replayNext = wrongSessionNext = plainNext = false;
  if (!fault) repliesBySeq_[plain[4]] = reply;
  if (dropReplies > 0) {
    --dropReplies;
    return;
  }
  outbox_.push_back(reply);
}

}  // namespace lantest
