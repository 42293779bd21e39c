#include "sim/rmcp_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstdlib>

namespace sim::rmcp {

namespace {

const EVP_MD* digestOf(Hash hash) { return hash == Hash::sha1 ? EVP_sha1() : EVP_sha256(); }

// One AES-128-CBC pass without OpenSSL's own padding; false on any failure.
bool aesCbc(bool encrypt, const Bytes& key, const uint8_t* iv, const uint8_t* in, size_t length,
            uint8_t* out) {
  if (key.size() < 16 || length % kAesBlock != 0) return false;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (context == nullptr) return false;
  int written = 0;
  int finalWritten = 0;
  const bool ok =
      EVP_CipherInit_ex(context, EVP_aes_128_cbc(), nullptr, key.data(), iv, encrypt ? 1 : 0) == 1 &&
      EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
      EVP_CipherUpdate(context, out, &written, in, static_cast<int>(length)) == 1 &&
      EVP_CipherFinal_ex(context, out + written, &finalWritten) == 1 &&
      static_cast<size_t>(written + finalWritten) == length;
  EVP_CIPHER_CTX_free(context);
  return ok;
}

}  // namespace

size_t hashLength(Hash hash) { return hash == Hash::sha1 ? 20 : 32; }

Bytes hmac(Hash hash, const Bytes& key, const uint8_t* data, size_t length) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int outLength = 0;
  if (HMAC(digestOf(hash), key.data(), static_cast<int>(key.size()), data, length, out.data(),
           &outLength) == nullptr) {
    // Without a MAC no packet can be checked or sent; a simulator cannot go on.
    std::abort();
  }
  out.resize(outLength);
  return out;
}

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length) {
  return CRYPTO_memcmp(a, b, length) == 0;
}

Bytes randomBytes(size_t count) {
  Bytes out(count);
  if (count != 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) std::abort();
  return out;
}

Bytes aesCbcEncrypt(const Bytes& key, const Bytes& plain) {
  Bytes padded = plain;
  const size_t padLength = (kAesBlock - (plain.size() + 1) % kAesBlock) % kAesBlock;
  for (size_t i = 1; i <= padLength; ++i) padded.push_back(static_cast<uint8_t>(i));
  padded.push_back(static_cast<uint8_t>(padLength));
  Bytes out = randomBytes(kAesBlock);
  out.resize(kAesBlock + padded.size());
  if (!aesCbc(true, key, out.data(), padded.data(), padded.size(), out.data() + kAesBlock)) {
    std::abort();
  }
  return out;
}

std::optional<Bytes> aesCbcDecrypt(const Bytes& key, const uint8_t* data, size_t length) {
  if (length < 2 * kAesBlock || length % kAesBlock != 0) return std::nullopt;
  Bytes plain(length - kAesBlock);
  if (!aesCbc(false, key, data, data + kAesBlock, plain.size(), plain.data())) return std::nullopt;
  const size_t padLength = plain.back();
  if (padLength >= kAesBlock || padLength + 1 > plain.size()) return std::nullopt;
  const size_t dataLength = plain.size() - 1 - padLength;
  for (size_t i = 0; i < padLength; ++i) {
    if (plain[dataLength + i] != i + 1) return std::nullopt;
  }
  plain.resize(dataLength);
  return plain;
}

}  // namespace sim::rmcp
