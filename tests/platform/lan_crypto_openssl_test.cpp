// The session's keyed contexts give what a fresh computation gives, packet
// after packet, and hold no key once dropped.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "platform/linux/lan_crypto_openssl.h"
#include "support/lan_test_bmc.h"

namespace {

using lantest::Bytes;

Bytes pattern(size_t length, uint8_t seed) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + 7 * i);
  return out;
}

struct Keys {
  Bytes integrity;
  Bytes aes;
};

Keys keysFor(lan::Hash hash, uint8_t seed) {
  return {pattern(lan::digestLength(hash), seed), pattern(16, static_cast<uint8_t>(seed + 1))};
}

// MACs and both directions of AES in turn, each checked against the one-shot
// reference: a context not started again, or one schedule for both ways,
// shows on the second packet.
void expectPacketsMatch(linuxplatform::OpenSslCrypto& crypto, lan::Hash hash, const Keys& keys) {
  const bool sha256 = hash == lan::Hash::kSha256;
  for (size_t length : {0, 1, 55, 64, 100, 300, 48, 16}) {
    const Bytes data = pattern(length, static_cast<uint8_t>(length));
    uint8_t out[512];
    ASSERT_TRUE(crypto.sessionHmac(data.data(), data.size(), out)) << length;
    EXPECT_EQ(lantest::hmac(sha256, keys.integrity, data), Bytes(out, out + (sha256 ? 32 : 20)))
        << length;
    if (length % 16 != 0 || length == 0) continue;
    const Bytes iv = pattern(16, static_cast<uint8_t>(0xA0 + length));
    ASSERT_TRUE(crypto.sessionAes(true, iv.data(), data.data(), length, out)) << length;
    const Bytes sealed(out, out + length);
    EXPECT_EQ(lantest::aesCbc(true, keys.aes, iv, data), sealed) << length;
    ASSERT_TRUE(crypto.sessionAes(false, iv.data(), sealed.data(), length, out)) << length;
    EXPECT_EQ(data, Bytes(out, out + length)) << length;
  }
}

TEST(OpenSslCrypto, SessionContextsMatchFreshComputationsPacketAfterPacket) {
  for (lan::Hash hash : {lan::Hash::kSha1, lan::Hash::kSha256}) {
    linuxplatform::OpenSslCrypto crypto;
    const Keys first = keysFor(hash, 0x10), second = keysFor(hash, 0x60);
    ASSERT_TRUE(crypto.keySession(hash, first.integrity.data(), first.aes.data()));
    expectPacketsMatch(crypto, hash, first);
    // New keys replace the old ones entirely.
    ASSERT_TRUE(crypto.keySession(hash, second.integrity.data(), second.aes.data()));
    expectPacketsMatch(crypto, hash, second);
  }
}

TEST(OpenSslCrypto, NothingIsSealedWithoutKeysOrWithABrokenLength) {
  linuxplatform::OpenSslCrypto crypto;
  const Keys keys = keysFor(lan::Hash::kSha1, 3);
  uint8_t in[32] = {}, out[64], iv[16] = {};
  struct Case {
    const char* name;
    bool keyed;
    size_t aesLength;
  };
  const Case cases[] = {{"never keyed", false, 32}, {"keyed", true, 32},
                        {"dropped", false, 32},     {"keyed again", true, 32},
                        {"not whole blocks", true, 17}};
  for (const Case& c : cases) {
    if (c.keyed) {
      ASSERT_TRUE(crypto.keySession(lan::Hash::kSha1, keys.integrity.data(), keys.aes.data()));
    } else {
      crypto.dropSessionKeys();
    }
    const bool aesWorks = c.keyed && c.aesLength % 16 == 0;
    EXPECT_EQ(c.keyed, crypto.sessionHmac(in, sizeof in, out)) << c.name;
    EXPECT_EQ(aesWorks, crypto.sessionAes(true, iv, in, c.aesLength, out)) << c.name;
    EXPECT_EQ(aesWorks, crypto.sessionAes(false, iv, in, c.aesLength, out)) << c.name;
  }
}

TEST(OpenSslCrypto, OneShotHmacTakesAnEmptyKey) {
  linuxplatform::OpenSslCrypto crypto;
  const Bytes data = pattern(40, 9);
  for (const Bytes& key : {Bytes{}, pattern(20, 1), pattern(64, 2)}) {
    uint8_t out[32];
    ASSERT_TRUE(crypto.hmac(lan::Hash::kSha256, key.data(), key.size(), data.data(), data.size(),
                            out));
    EXPECT_EQ(lantest::hmac(true, key, data), Bytes(out, out + 32)) << key.size();
  }
}

// IVs come from a pool refilled a page at a time: across refills none may
// repeat, and a draw larger than the pool is served too.
TEST(OpenSslCrypto, RandomBytesNeverRepeatAcrossRefills) {
  linuxplatform::OpenSslCrypto crypto;
  std::set<Bytes> seen;
  for (size_t length : {16, 4, 16, 1000, 16, 5000}) {
    for (int n = 0; n < 300; ++n) {
      Bytes drawn(length, 0);
      ASSERT_TRUE(crypto.random(drawn.data(), drawn.size()));
      if (length >= 16) {
        EXPECT_TRUE(seen.insert(drawn).second) << length << " #" << n;
      }
    }
  }
}

}  // namespace
