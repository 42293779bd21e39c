// The cryptography of bmcsim's RMCP+ server: HMAC for RAKP and packet
// integrity, AES-CBC-128 with the IPMI confidentiality pad, random bytes.
// All from libcrypto; nothing here is written by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim::rmcp {

using Bytes = std::vector<uint8_t>;

enum class Hash { sha1, sha256 };

size_t hashLength(Hash hash);
Bytes hmac(Hash hash, const Bytes& key, const uint8_t* data, size_t length);
inline Bytes hmac(Hash hash, const Bytes& key, const Bytes& data) {
  return hmac(hash, key, data.data(), data.size());
}
// Compares in constant time.
bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length);

Bytes randomBytes(size_t count);

constexpr size_t kAesBlock = 16;

// IV, then the ciphertext of data + pad 01 02 .. + pad length, with a fresh
// random IV. `key` holds at least 16 bytes (the first 16 are used).
Bytes aesCbcEncrypt(const Bytes& key, const Bytes& plain);
// The reverse; nothing when the length, the pad or its length byte are wrong.
std::optional<Bytes> aesCbcDecrypt(const Bytes& key, const uint8_t* data, size_t length);

}  // namespace sim::rmcp
