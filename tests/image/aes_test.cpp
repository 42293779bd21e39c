#include <gtest/gtest.h>

#include <random>
#include <string>

#include "image/aes.h"
#include "image_fixtures.h"

namespace {

using imagetest::Bytes;

Bytes fromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(Aes, PublishedSingleBlockVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      // The cipher example and the AES-128 example vector of FIPS 197.
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
       "3925841d02dc09fbdc118597196a0b32"},
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
  };
  for (const Case& c : cases) {
    aes::KeySchedule schedule;
    aes::expandKey(fromHex(c.key).data(), &schedule);
    uint8_t out[16];
    aes::decryptBlock(schedule, fromHex(c.cipher).data(), out);
    EXPECT_EQ(Bytes(out, out + 16), fromHex(c.plain)) << c.key;
  }
}

TEST(Aes, KeyExpansionLastRoundKey) {
  aes::KeySchedule schedule;
  aes::expandKey(fromHex("2b7e151628aed2a6abf7158809cf4f3c").data(), &schedule);
  EXPECT_EQ(Bytes(schedule.roundKeys[10], schedule.roundKeys[10] + 16),
            fromHex("d014f9a8c9ee2589e13f0cc8b6630ca6"));
}

TEST(Aes, CbcDecryptVectorOfSp80038a) {
  const Bytes key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes cipher = fromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  const Bytes plain = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  Bytes out(cipher.size());
  aes::decryptCbc(key.data(), iv.data(), cipher.data(), out.data(), cipher.size());
  EXPECT_EQ(out, plain);

  Bytes inPlace = cipher;
  aes::decryptCbc(key.data(), iv.data(), inPlace.data(), inPlace.data(), inPlace.size());
  EXPECT_EQ(inPlace, plain);
}

TEST(Aes, AgreesWithOpenSslOnRandomInputs) {
  std::mt19937 random(20261207);
  auto randomBytes = [&](size_t n) {
    Bytes bytes(n);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  };
  for (int round = 0; round < 200; ++round) {
    const Bytes key = randomBytes(16), iv = randomBytes(16);
    const Bytes plain = randomBytes(16 * (1 + random() % 12));
    const Bytes cipher = imagetest::encipherCbc(key.data(), iv.data(), plain);
    Bytes out(cipher.size());
    aes::decryptCbc(key.data(), iv.data(), cipher.data(), out.data(), cipher.size());
    ASSERT_EQ(out, plain) << "round " << round;
  }
}

TEST(Aes, PartialLastBlockIsLeftAlone) {
  const Bytes key(16, 1), iv(16, 2);
  const Bytes cipher(40, 0x5A);
  Bytes out(40, 0xEE);
  aes::decryptCbc(key.data(), iv.data(), cipher.data(), out.data(), cipher.size());
  EXPECT_EQ(Bytes(out.begin() + 32, out.end()), Bytes(8, 0xEE));
}

TEST(Aes, TableKeyAndIvAreFixedAndDistinct) {
  uint8_t key[16], again[16], iv[16];
  imageTableKey(key);
  imageTableKey(again);
  imageTableIv(iv);
  EXPECT_EQ(Bytes(key, key + 16), Bytes(again, again + 16));
  EXPECT_EQ(Bytes(key, key + 16), fromHex("559064bd2b9d845b7153b92cd5f9f601"));
  EXPECT_EQ(Bytes(iv, iv + 16), fromHex("984da8f6de0710c04c6238f37aa1b328"));
}

}  // namespace
