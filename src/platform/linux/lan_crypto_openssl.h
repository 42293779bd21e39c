// The RMCP+ session's crypto from OpenSSL's libcrypto.
#pragma once

#include "transport/lan_crypto.h"

namespace linuxplatform {

class OpenSslCrypto final : public lan::Crypto {
 public:
  bool hmac(lan::Hash hash, const uint8_t* key, size_t keyLength, const uint8_t* data,
            size_t length, uint8_t* out) override;
  bool aesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in,
              size_t length, uint8_t* out) override;
  bool random(uint8_t* out, size_t length) override;
  void wipe(void* bytes, size_t length) override;
};

}  // namespace linuxplatform
