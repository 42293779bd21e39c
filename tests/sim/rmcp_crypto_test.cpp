// bmcsim's crypto keeps each key's contexts: with more keys in turn than it
// keeps, every result still matches a fresh computation.
#include "sim/rmcp_crypto.h"

#include <gtest/gtest.h>

#include "support/lan_test_bmc.h"

namespace {

using sim::rmcp::Bytes;

Bytes pattern(size_t length, uint8_t seed) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed * 13 + i);
  return out;
}

TEST(RmcpCrypto, KeptKeysGiveWhatFreshOnesGive) {
  // 40 keys, each used twice apart: more than the contexts kept.
  for (int pass = 0; pass < 2; ++pass) {
    for (uint8_t n = 0; n < 40; ++n) {
      const bool sha256 = n % 2 == 1;
      const Bytes key = pattern(sha256 ? 32 : 20, n);
      const Bytes data = pattern(16 + n * 5, static_cast<uint8_t>(n + pass));
      EXPECT_EQ(lantest::hmac(sha256, key, data),
                sim::rmcp::hmac(sha256 ? sim::rmcp::Hash::sha256 : sim::rmcp::Hash::sha1, key, data))
          << int(n) << " pass " << pass;
      const Bytes aesKey(key.begin(), key.begin() + 16);
      const Bytes sealed = sim::rmcp::aesCbcEncrypt(aesKey, data);
      ASSERT_GE(sealed.size(), 32u);
      const Bytes iv(sealed.begin(), sealed.begin() + 16);
      const Bytes body(sealed.begin() + 16, sealed.end());
      const Bytes plain = lantest::aesCbc(false, aesKey, iv, body);
      EXPECT_EQ(data, Bytes(plain.begin(), plain.begin() + static_cast<long>(data.size())))
          << int(n);
      const auto back = sim::rmcp::aesCbcDecrypt(aesKey, sealed.data(), sealed.size());
      ASSERT_TRUE(back.has_value()) << int(n);
      EXPECT_EQ(data, *back) << int(n);
    }
  }
}

}  // namespace
