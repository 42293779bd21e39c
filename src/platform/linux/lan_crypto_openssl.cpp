#include "platform/linux/lan_crypto_openssl.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>

namespace linuxplatform {

bool OpenSslCrypto::hmac(lan::Hash hash, const uint8_t* key, size_t keyLength,
                         const uint8_t* data, size_t length, uint8_t* out) {
  const EVP_MD* md = hash == lan::Hash::kSha1 ? EVP_sha1() : EVP_sha256();
  unsigned int outLength = 0;
  // An empty password is a key of no bytes; HMAC wants a pointer all the same.
  static const uint8_t kNoKey = 0;
  return keyLength <= INT_MAX &&
         HMAC(md, keyLength == 0 ? &kNoKey : key, static_cast<int>(keyLength), data, length, out,
              &outLength) != nullptr &&
         outLength == lan::digestLength(hash);
}

bool OpenSslCrypto::aesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in,
                           size_t length, uint8_t* out) {
  if (length % lan::kAesBlock != 0 || length > INT_MAX) return false;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (context == nullptr) return false;
  int written = 0;
  int finished = 0;
  const bool done =
      EVP_CipherInit_ex(context, EVP_aes_128_cbc(), nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
      EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
      EVP_CipherUpdate(context, out, &written, in, static_cast<int>(length)) == 1 &&
      EVP_CipherFinal_ex(context, out + written, &finished) == 1 &&
      static_cast<size_t>(written + finished) == length;
  EVP_CIPHER_CTX_free(context);  // wipes the key schedule
  return done;
}

bool OpenSslCrypto::random(uint8_t* out, size_t length) {
  return length <= INT_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
}

void OpenSslCrypto::wipe(void* bytes, size_t length) { OPENSSL_cleanse(bytes, length); }

}  // namespace linuxplatform
