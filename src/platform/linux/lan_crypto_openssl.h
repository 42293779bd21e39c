// The RMCP+ session's crypto from OpenSSL's libcrypto. The algorithms are
// fetched once and each session key is set up once in its own context
// (both cost more than hashing or encrypting a packet), and random bytes
// come a page at a time. Every context holding a key is freed, which wipes
// it, when the keys change or go, when the object goes, and before
// libcrypto ends itself at exit. A process that forks must not draw random
// bytes from one object on both sides.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

#include "transport/lan_crypto.h"

namespace linuxplatform {

class OpenSslCrypto final : public lan::Crypto {
 public:
  OpenSslCrypto() = default;
  ~OpenSslCrypto();
  OpenSslCrypto(const OpenSslCrypto&) = delete;
  OpenSslCrypto& operator=(const OpenSslCrypto&) = delete;

  bool hmac(lan::Hash hash, const uint8_t* key, size_t keyLength, const uint8_t* data,
            size_t length, uint8_t* out) override;
  bool keySession(lan::Hash hash, const uint8_t* integrityKey, const uint8_t* aesKey) override;
  void dropSessionKeys() override;
  bool sessionHmac(const uint8_t* data, size_t length, uint8_t* out) override;
  bool sessionAes(bool encrypt, const uint8_t* iv, const uint8_t* in, size_t length,
                  uint8_t* out) override;
  bool random(uint8_t* out, size_t length) override;
  void wipe(void* bytes, size_t length) override;

 private:
  static constexpr size_t kRandomPool = 4096;

  bool fetchAlgorithms();
  EVP_MAC_CTX* keyedMac(lan::Hash hash, const uint8_t* key, size_t keyLength);
  EVP_CIPHER_CTX* keyedAes(bool encrypt, const uint8_t* key);
  void releaseAll();
  void joinRegistry();
  void leaveRegistry();
  static void releaseEveryone();

  EVP_MAC* mac_ = nullptr;
  EVP_CIPHER* aes_ = nullptr;
  EVP_MAC_CTX* integrity_ = nullptr;
  size_t integrityLength_ = 0;
  EVP_CIPHER_CTX* encryptor_ = nullptr;
  EVP_CIPHER_CTX* decryptor_ = nullptr;
  uint8_t pool_[kRandomPool] = {};
  size_t poolLeft_ = 0;  // the unused bytes are the pool's first ones
  bool registered_ = false;
  OpenSslCrypto* nextRegistered_ = nullptr;
};

}  // namespace linuxplatform
