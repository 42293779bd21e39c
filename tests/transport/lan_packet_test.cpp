// The RMCP+ codec against bytes computed here from the message definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/linux/lan_crypto_openssl.h"
#include "support/lan_test_bmc.h"
#include "transport/lan_handshake.h"
#include "transport/lan_packet.h"

namespace {

using lantest::Bytes;

// Random bytes that are known: the IV of a sealed packet.
struct FixedIvCrypto final : lan::Crypto {
  linuxplatform::OpenSslCrypto real;
  bool hmac(lan::Hash h, const uint8_t* k, size_t kl, const uint8_t* d, size_t l,
            uint8_t* o) override {
    return real.hmac(h, k, kl, d, l, o);
  }
  bool keySession(lan::Hash h, const uint8_t* k1, const uint8_t* k2) override {
    return real.keySession(h, k1, k2);
  }
  void dropSessionKeys() override { real.dropSessionKeys(); }
  bool sessionHmac(const uint8_t* d, size_t l, uint8_t* o) override {
    return real.sessionHmac(d, l, o);
  }
  bool sessionAes(bool e, const uint8_t* iv, const uint8_t* in, size_t l, uint8_t* o) override {
    return real.sessionAes(e, iv, in, l, o);
  }
  bool random(uint8_t* out, size_t length) override {
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(0xB0 + i);
    return true;
  }
  void wipe(void* b, size_t l) override { real.wipe(b, l); }
};

TEST(LanPacket, IpmiRequestHasAddressesSequenceAndChecksums) {
  uint8_t out[16];
  const uint8_t data[] = {0xAA};
  ASSERT_EQ(8u, lan::buildIpmiRequest(out, sizeof out, 0xF8, 5, 0x17, data, 1));
  // Sums to zero: 0x20+0xF8+0xE8 and 0x81+0x14+0x17+0xAA+0xAA (mod 256).
  EXPECT_EQ((Bytes{0x20, 0xF8, 0xE8, 0x81, 0x14, 0x17, 0xAA, 0xAA}), Bytes(out, out + 8));
}

TEST(LanPacket, ReplyMustAnswerThisRequest) {
  // Reply to 0x18/0x01 with rqSeq 5: completion code 0, one data byte 0x20.
  const Bytes good = {0x81, 0x1C, 0x63, 0x20, 0x14, 0x01, 0x00, 0x20, 0xAB};
  struct Case {
    const char* name;
    size_t index;  // byte changed (none past the end)
    uint8_t value;
    bool taken;
  };
  const Case cases[] = {
      {"as sent", 99, 0, true},          {"other rqSeq", 4, 0x18, false},
      {"other command", 5, 0x02, false}, {"other netFn", 1, 0x20, false},
      {"bad header sum", 2, 0x64, false}, {"bad data sum", 8, 0xAC, false},
  };
  for (const Case& c : cases) {
    Bytes reply = good;
    if (c.index < reply.size()) reply[c.index] = c.value;
    if (c.index == 4 || c.index == 5 || c.index == 1) {  // keep sums right: only the field differs
      reply[2] = static_cast<uint8_t>(-(reply[0] + reply[1]));
      uint8_t sum = 0;
      for (size_t i = 3; i + 1 < reply.size(); ++i) sum = static_cast<uint8_t>(sum + reply[i]);
      reply.back() = static_cast<uint8_t>(-sum);
    }
    const uint8_t* body = nullptr;
    size_t bodyLength = 0;
    EXPECT_EQ(c.taken, lan::parseIpmiReply(reply.data(), reply.size(), 0x18, 5, 0x01, &body,
                                           &bodyLength))
        << c.name;
    if (c.taken) {
      EXPECT_EQ((Bytes{0x00, 0x20}), Bytes(body, body + bodyLength));
    }
  }
}

TEST(LanPacket, SessionPacketIsEncryptedPaddedAndSignedAsDefined) {
  for (const lan::CipherSuite& suite : {lan::kSuite3, lan::kSuite17}) {
    const bool sha256 = suite.id == 17;
    FixedIvCrypto crypto;
    lan::SessionKeys keys{};
    for (size_t i = 0; i < sizeof keys.k1; ++i) {
      keys.k1[i] = static_cast<uint8_t>(i);
      keys.k2[i] = static_cast<uint8_t>(0x40 + i);
    }
    ASSERT_TRUE(crypto.keySession(suite.hash, keys.k1, keys.k2));
    const Bytes message = {0x20, 0x18, 0xC8, 0x81, 0x04, 0x01, 0x7A};
    uint8_t out[lan::kMaxDatagram];
    const size_t length = lan::buildSessionPacket(out, sizeof out, crypto, suite, 0x01020304, 7,
                                                  message.data(), message.size());
    const Bytes packet(out, out + length);
    const Bytes iv(out + 16, out + 32);
    const Bytes k2(keys.k2, keys.k2 + 16);
    // 7 bytes, 8 pad bytes 1..8, the pad length: one block.
    Bytes plain = message;
    for (uint8_t i = 1; i <= 8; ++i) plain.push_back(i);
    plain.push_back(8);
    const Bytes header = {0x06, 0x00, 0xFF, 0x07, 0x06, 0xC0, 0x04, 0x03, 0x02, 0x01,
                          0x07, 0x00, 0x00, 0x00, 32, 0};
    EXPECT_EQ(header, Bytes(out, out + 16)) << int(suite.id);
    EXPECT_EQ(lantest::aesCbc(true, k2, iv, plain), Bytes(out + 32, out + 48));
    // 4..48 is 44 bytes: 2 pad bytes make it 48 with pad length and next header.
    EXPECT_EQ((Bytes{0xFF, 0xFF, 0x02, 0x07}), Bytes(out + 48, out + 52));
    Bytes mac = lantest::hmac(sha256, Bytes(keys.k1, keys.k1 + (sha256 ? 32 : 20)),
                              Bytes(out + 4, out + 52));
    mac.resize(suite.integrityLength);
    EXPECT_EQ(mac, Bytes(out + 52, out + length));
    EXPECT_TRUE(lan::integrityHolds(crypto, suite, out, length));
    // Any changed bit fails the check.
    for (size_t at : {size_t{5}, size_t{20}, size_t{49}, length - 1}) {
      Bytes bad = packet;
      bad[at] ^= 0x10;
      EXPECT_FALSE(lan::integrityHolds(crypto, suite, bad.data(), bad.size())) << at;
    }
    uint8_t back[64];
    lan::Inbound in;
    ASSERT_TRUE(lan::parseHeaders(out, length, &in));
    ASSERT_EQ(7, lan::decryptPayload(crypto, in.payload, in.payloadLength, back, sizeof back));
    EXPECT_EQ(message, Bytes(back, back + 7));
  }
}

TEST(LanPacket, MalformedHeadersAreRefused) {
  const Bytes v20 = {0x06, 0x00, 0xFF, 0x07, 0x06, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0xAA, 0xBB};
  struct Case {
    const char* name;
    Bytes bytes;
    bool taken;
  };
  Bytes longer = v20;
  longer.push_back(0);
  Bytes shortened(v20.begin(), v20.end() - 1);
  Bytes oldAuth = v20;
  oldAuth[4] = 0x02;
  Bytes notIpmi = v20;
  notIpmi[3] = 0x06;
  const Case cases[] = {
      {"well formed", v20, true},        {"trailing bytes", longer, false},
      {"payload cut", shortened, false}, {"md5 session", oldAuth, false},
      {"ASF class", notIpmi, false},     {"empty", {}, false},
  };
  for (const Case& c : cases) {
    lan::Inbound in;
    EXPECT_EQ(c.taken, lan::parseHeaders(c.bytes.data(), c.bytes.size(), &in)) << c.name;
  }
}

TEST(LanPacket, ConfidentialityPadIsChecked) {
  linuxplatform::OpenSslCrypto crypto;
  lan::SessionKeys keys{};
  ASSERT_TRUE(crypto.keySession(lan::Hash::kSha1, keys.k1, keys.k2));
  const Bytes k2(keys.k2, keys.k2 + 16);
  const Bytes iv(16, 1);
  struct Case {
    uint8_t last3[3];  // the last bytes of the block: pad bytes and pad length
    int length;
  };
  const Case cases[] = {{{0x01, 0x02, 0x02}, 13}, {{0x01, 0x03, 0x02}, -1}, {{0, 0, 0x10}, -1}};
  for (const Case& c : cases) {
    Bytes plain(16, 0x55);
    std::copy(c.last3, c.last3 + 3, plain.end() - 3);
    const Bytes sealed = lantest::aesCbc(true, k2, iv, plain);
    Bytes payload = iv;
    payload.insert(payload.end(), sealed.begin(), sealed.end());
    uint8_t out[32];
    EXPECT_EQ(c.length,
              lan::decryptPayload(crypto, payload.data(), payload.size(), out, sizeof out));
  }
}

}  // namespace

namespace {

// SIK = HMAC(password, Rm | Rc | role | name length | name); K1 and K2 are
// HMAC(SIK, 20 bytes of 0x01 or 0x02) whatever the hash.
TEST(LanHandshake, SessionKeysAreMadeAsDefined) {
  for (const lan::CipherSuite& suite : {lan::kSuite3, lan::kSuite17}) {
    const bool sha256 = suite.id == 17;
    lan::Handshake h{};
    h.suite = suite;
    h.role = 0x14;
    h.userLength = 5;
    std::copy_n("admin", 5, h.user);
    h.passwordLength = 6;
    std::copy_n("secret", 6, h.password);
    for (uint8_t i = 0; i < 16; ++i) h.consoleRandom[i] = i, h.bmcRandom[i] = 0xF0 | i;
    linuxplatform::OpenSslCrypto crypto;
    lan::SessionKeys keys{};
    ASSERT_TRUE(lan::deriveKeys(crypto, h, &keys));
    Bytes material(h.consoleRandom, h.consoleRandom + 16);
    material.insert(material.end(), h.bmcRandom, h.bmcRandom + 16);
    material.insert(material.end(), {0x14, 5, 'a', 'd', 'm', 'i', 'n'});
    const Bytes sik = lantest::hmac(sha256, Bytes{'s', 'e', 'c', 'r', 'e', 't'}, material);
    const size_t n = sik.size();
    EXPECT_EQ(sik, Bytes(keys.sik, keys.sik + n));
    EXPECT_EQ(lantest::hmac(sha256, sik, Bytes(20, 0x01)), Bytes(keys.k1, keys.k1 + n));
    EXPECT_EQ(lantest::hmac(sha256, sik, Bytes(20, 0x02)), Bytes(keys.k2, keys.k2 + n));
  }
}

}  // namespace
