// AES-128 (inverse cipher only) and CBC decryption, written out so that the
// UEFI build needs no library.
#include "image/aes.h"

#include <array>

namespace aes {
namespace {

constexpr uint8_t multiplyByX(uint8_t value) {
  return static_cast<uint8_t>((value << 1) ^ ((value & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t multiply(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (b & 1) product ^= a;
    a = multiplyByX(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t rotateLeft(uint8_t value, int count) {
  return static_cast<uint8_t>((value << count) | (value >> (8 - count)));
}

// The S-box is derived rather than typed in: multiplicative inverse in
// GF(2^8) (through powers of the generator 3) followed by the affine transform.
constexpr std::array<uint8_t, 256> makeSubstitution() {
  std::array<uint8_t, 256> power{};
  std::array<uint8_t, 256> logarithm{};
  uint8_t value = 1;
  for (int exponent = 0; exponent < 255; ++exponent) {
    power[exponent] = value;
    logarithm[value] = static_cast<uint8_t>(exponent);
    value = static_cast<uint8_t>(value ^ multiplyByX(value));
  }
  std::array<uint8_t, 256> box{};
  for (int input = 0; input < 256; ++input) {
    const uint8_t inverse = input == 0 ? 0 : power[(255 - logarithm[input]) % 255];
    box[input] = static_cast<uint8_t>(inverse ^ rotateLeft(inverse, 1) ^ rotateLeft(inverse, 2) ^
                                      rotateLeft(inverse, 3) ^ rotateLeft(inverse, 4) ^ 0x63);
  }
  return box;
}

constexpr std::array<uint8_t, 256> makeInverse(const std::array<uint8_t, 256>& box) {
  std::array<uint8_t, 256> inverse{};
  for (int value = 0; value < 256; ++value) inverse[box[value]] = static_cast<uint8_t>(value);
  return inverse;
}

constexpr std::array<uint8_t, 256> makeProducts(uint8_t factor) {
  std::array<uint8_t, 256> products{};
  for (int value = 0; value < 256; ++value) products[value] = multiply(static_cast<uint8_t>(value), factor);
  return products;
}

constexpr std::array<uint8_t, 256> kSubstitution = makeSubstitution();
constexpr std::array<uint8_t, 256> kInverseSubstitution = makeInverse(kSubstitution);
static_assert(kSubstitution[0x00] == 0x63 && kSubstitution[0x01] == 0x7C && kSubstitution[0x53] == 0xED);

constexpr int kRounds = 10;

// Products by the coefficients of the inverse MixColumns matrix.
constexpr std::array<uint8_t, 256> kTimes9 = makeProducts(9);
constexpr std::array<uint8_t, 256> kTimes11 = makeProducts(11);
constexpr std::array<uint8_t, 256> kTimes13 = makeProducts(13);
constexpr std::array<uint8_t, 256> kTimes14 = makeProducts(14);

// InvSubBytes and the InvMixColumns column of a byte in row 0, as one word
// (row r in bits 8r..8r+7); rows 1 to 3 use the word rotated.
constexpr std::array<uint32_t, 256> makeInverseTable() {
  std::array<uint32_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    const uint8_t y = kInverseSubstitution[value];
    table[value] = uint32_t{kTimes14[y]} | uint32_t{kTimes9[y]} << 8 | uint32_t{kTimes13[y]} << 16 |
                   uint32_t{kTimes11[y]} << 24;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kInverseTable = makeInverseTable();

constexpr uint32_t rotateWord(uint32_t word, int bits) { return (word << bits) | (word >> (32 - bits)); }

uint32_t columnOf(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

uint8_t byteOf(uint32_t word, int row) { return static_cast<uint8_t>(word >> (8 * row)); }

uint32_t inverseMixColumn(uint32_t column) {
  const uint8_t a0 = byteOf(column, 0), a1 = byteOf(column, 1), a2 = byteOf(column, 2), a3 = byteOf(column, 3);
  return uint32_t(kTimes14[a0] ^ kTimes11[a1] ^ kTimes13[a2] ^ kTimes9[a3]) |
         uint32_t(kTimes9[a0] ^ kTimes14[a1] ^ kTimes11[a2] ^ kTimes13[a3]) << 8 |
         uint32_t(kTimes13[a0] ^ kTimes9[a1] ^ kTimes14[a2] ^ kTimes11[a3]) << 16 |
         uint32_t(kTimes11[a0] ^ kTimes13[a1] ^ kTimes9[a2] ^ kTimes14[a3]) << 24;
}

// One inner round: InvShiftRows (row r of column c comes from column
// c - r), InvSubBytes and InvMixColumns through the table, then the key.
[[gnu::always_inline]] inline void inverseRound(const uint32_t in[4], uint32_t out[4], const uint32_t key[4]) {
  for (int c = 0; c < 4; ++c) {
    out[c] = kInverseTable[byteOf(in[c], 0)] ^ rotateWord(kInverseTable[byteOf(in[(c + 3) & 3], 1)], 8) ^
             rotateWord(kInverseTable[byteOf(in[(c + 2) & 3], 2)], 16) ^
             rotateWord(kInverseTable[byteOf(in[(c + 1) & 3], 3)], 24) ^ key[c];
  }
}

}  // namespace

void expandKey(const uint8_t key[kKeySize], KeySchedule* schedule) {
  uint8_t* words = &schedule->roundKeys[0][0];
  for (size_t i = 0; i < kKeySize; ++i) words[i] = key[i];
  uint8_t roundConstant = 0x01;
  for (size_t at = kKeySize; at < sizeof(schedule->roundKeys); at += 4) {
    uint8_t word[4] = {words[at - 4], words[at - 3], words[at - 2], words[at - 1]};
    if (at % kKeySize == 0) {
      const uint8_t first = word[0];
      word[0] = static_cast<uint8_t>(kSubstitution[word[1]] ^ roundConstant);
      word[1] = kSubstitution[word[2]];
      word[2] = kSubstitution[word[3]];
      word[3] = kSubstitution[first];
      roundConstant = multiplyByX(roundConstant);
    }
    for (size_t i = 0; i < 4; ++i) words[at + i] = words[at - kKeySize + i] ^ word[i];
  }
  for (int round = 0; round <= kRounds; ++round) {
    for (int c = 0; c < 4; ++c) {
      const uint32_t column = columnOf(schedule->roundKeys[kRounds - round] + 4 * c);
      const bool inner = round != 0 && round != kRounds;
      schedule->decryptionKeys[round][c] = inner ? inverseMixColumn(column) : column;
    }
  }
}

void decryptBlock(const KeySchedule& schedule, const uint8_t in[kBlockSize],
                  uint8_t out[kBlockSize]) {
  uint32_t state[4], next[4];
  for (int c = 0; c < 4; ++c) state[c] = columnOf(in + 4 * c) ^ schedule.decryptionKeys[0][c];
  for (int round = 1; round < kRounds; round += 2) {
    inverseRound(state, next, schedule.decryptionKeys[round]);
    if (round + 1 == kRounds) break;
    inverseRound(next, state, schedule.decryptionKeys[round + 1]);
  }
  // kRounds - 1 inner rounds leave the state in `next`; the last round has
  // no InvMixColumns.
  const uint32_t* last = schedule.decryptionKeys[kRounds];
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      out[4 * c + r] = kInverseSubstitution[byteOf(next[(c + 4 - r) & 3], r)] ^ byteOf(last[c], r);
    }
  }
}

void decryptCbc(const uint8_t key[kKeySize], const uint8_t iv[kBlockSize],
                const uint8_t* in, uint8_t* out, size_t length) {
  KeySchedule schedule;
  expandKey(key, &schedule);
  uint8_t chain[kBlockSize];
  for (size_t i = 0; i < kBlockSize; ++i) chain[i] = iv[i];
  for (size_t at = 0; at + kBlockSize <= length; at += kBlockSize) {
    uint8_t cipherBlock[kBlockSize];  // kept: out may overwrite in
    for (size_t i = 0; i < kBlockSize; ++i) cipherBlock[i] = in[at + i];
    decryptBlock(schedule, cipherBlock, out + at);
    for (size_t i = 0; i < kBlockSize; ++i) {
      out[at + i] ^= chain[i];
      chain[i] = cipherBlock[i];
    }
  }
}

}  // namespace aes

namespace {

// Neither value stands in the binary as a whole: each is the exclusive or
// of two parts, read through volatile so that the compiler cannot fold them.
constexpr uint8_t kKeyMask[16] = {0x03, 0xd0, 0xe4, 0x61, 0x6f, 0xc9, 0x99, 0x69,
                                  0xc2, 0x02, 0x48, 0x4b, 0x79, 0x25, 0x71, 0x33};
constexpr uint8_t kKeyPart[16] = {0x56, 0x40, 0x80, 0xdc, 0x44, 0x54, 0x1d, 0x32,
                                  0xb3, 0x51, 0xf1, 0x67, 0xac, 0xdc, 0x87, 0x32};
constexpr uint8_t kIvMask[16] = {0x26, 0x95, 0xfe, 0xd4, 0xb8, 0x40, 0x7c, 0x27,
                                 0x57, 0xf8, 0x93, 0xc2, 0xf8, 0x15, 0x36, 0xec};
constexpr uint8_t kIvPart[16] = {0xbe, 0xd8, 0x56, 0x22, 0x66, 0x47, 0x6c, 0xe7,
                                 0x1b, 0x9a, 0xab, 0x31, 0x82, 0xb4, 0x85, 0xc4};

void combine(const uint8_t* mask, const uint8_t* part, uint8_t out[16]) {
  const volatile uint8_t* maskBytes = mask;
  const volatile uint8_t* partBytes = part;
  for (size_t i = 0; i < 16; ++i) out[i] = maskBytes[i] ^ partBytes[i];
}

}  // namespace

void imageTableKey(uint8_t out[aes::kKeySize]) { combine(kKeyMask, kKeyPart, out); }
void imageTableIv(uint8_t out[aes::kBlockSize]) { combine(kIvMask, kIvPart, out); }
