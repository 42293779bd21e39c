// AES-128 decryption in CBC mode, without padding, and the fixed key and
// initialisation vector under which image tables are enciphered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace aes {

constexpr size_t kBlockSize = 16;
constexpr size_t kKeySize = 16;

// The expanded key: eleven round keys of 16 bytes, and the same keys in the
// order and form the table-driven inverse cipher takes them (columns as
// little-endian words, inner keys passed through InvMixColumns).
struct KeySchedule {
  uint8_t roundKeys[11][kBlockSize];
  uint32_t decryptionKeys[11][4];
};

void expandKey(const uint8_t key[kKeySize], KeySchedule* schedule);
// Deciphers one block (the inverse cipher); in and out may be the same.
void decryptBlock(const KeySchedule& schedule, const uint8_t in[kBlockSize],
                  uint8_t out[kBlockSize]);
// Deciphers the whole blocks of `length` bytes (a multiple of 16; a partial
// last block is left alone). in and out may be the same buffer.
void decryptCbc(const uint8_t key[kKeySize], const uint8_t iv[kBlockSize],
                const uint8_t* in, uint8_t* out, size_t length);

}  // namespace aes

// Fill `out` with the key and the initialisation vector of image tables.
void imageTableKey(uint8_t out[aes::kKeySize]);
void imageTableIv(uint8_t out[aes::kBlockSize]);
