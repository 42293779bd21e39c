#include "platform/linux/lan_crypto_openssl.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>

namespace linuxplatform {
namespace {

// The objects holding libcrypto's contexts, so that they let go of them
// while libcrypto still stands: it ends itself at exit, before the
// destructors of objects made before it started.
OpenSslCrypto* registered = nullptr;
bool exitHookSet = false;
bool libcryptoEnded = false;

bool runMac(EVP_MAC_CTX* context, const uint8_t* data, size_t length, uint8_t* out,
            size_t outLength) {
  size_t written = 0;
  return EVP_MAC_update(context, data, length) == 1 &&
         EVP_MAC_final(context, out, &written, outLength) == 1 && written == outLength;
}

}  // namespace

OpenSslCrypto::~OpenSslCrypto() {
  releaseAll();
  leaveRegistry();
}

bool OpenSslCrypto::hmac(lan::Hash hash, const uint8_t* key, size_t keyLength,
                         const uint8_t* data, size_t length, uint8_t* out) {
  if (!fetchAlgorithms()) return false;
  EVP_MAC_CTX* context = keyedMac(hash, key, keyLength);
  const bool done =
      context != nullptr && runMac(context, data, length, out, lan::digestLength(hash));
  EVP_MAC_CTX_free(context);  // wipes the key
  return done;
}

bool OpenSslCrypto::keySession(lan::Hash hash, const uint8_t* integrityKey,
                               const uint8_t* aesKey) {
  dropSessionKeys();
  if (!fetchAlgorithms()) return false;
  integrityLength_ = lan::digestLength(hash);
  integrity_ = keyedMac(hash, integrityKey, integrityLength_);
  encryptor_ = keyedAes(true, aesKey);
  decryptor_ = keyedAes(false, aesKey);
  if (integrity_ != nullptr && encryptor_ != nullptr && decryptor_ != nullptr) return true;
  dropSessionKeys();
  return false;
}

void OpenSslCrypto::dropSessionKeys() {
  // Freeing a context wipes the key and key schedule it holds.
  EVP_MAC_CTX_free(integrity_);
  EVP_CIPHER_CTX_free(encryptor_);
  EVP_CIPHER_CTX_free(decryptor_);
  integrity_ = nullptr;
  encryptor_ = nullptr;
  decryptor_ = nullptr;
  integrityLength_ = 0;
}

bool OpenSslCrypto::sessionHmac(const uint8_t* data, size_t length, uint8_t* out) {
  // Initialised without a key, the context starts again from the one it has.
  return integrity_ != nullptr && EVP_MAC_init(integrity_, nullptr, 0, nullptr) == 1 &&
         runMac(integrity_, data, length, out, integrityLength_);
}

bool OpenSslCrypto::sessionAes(bool encrypt, const uint8_t* iv, const uint8_t* in, size_t length,
                               uint8_t* out) {
  // One context each way: the two directions use different key schedules.
  EVP_CIPHER_CTX* context = encrypt ? encryptor_ : decryptor_;
  if (context == nullptr || length % lan::kAesBlock != 0 || length > INT_MAX) return false;
  int written = 0;
  int finished = 0;
  return EVP_CipherInit_ex2(context, nullptr, nullptr, iv, encrypt ? 1 : 0, nullptr) == 1 &&
         EVP_CipherUpdate(context, out, &written, in, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(context, out + written, &finished) == 1 &&
         static_cast<size_t>(written) + static_cast<size_t>(finished) == length;
}

// Small requests (an IV, a session ID) come from a pool filled a page at a
// time; each byte is wiped from it as it is handed out.
bool OpenSslCrypto::random(uint8_t* out, size_t length) {
  if (length > kRandomPool / 4) {
    return length <= INT_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
  }
  if (length > poolLeft_) {
    poolLeft_ = 0;
    if (RAND_bytes(pool_, static_cast<int>(kRandomPool)) != 1) return false;
    poolLeft_ = kRandomPool;
  }
  poolLeft_ -= length;
  std::memcpy(out, pool_ + poolLeft_, length);
  OPENSSL_cleanse(pool_ + poolLeft_, length);
  return true;
}

void OpenSslCrypto::wipe(void* bytes, size_t length) { OPENSSL_cleanse(bytes, length); }

bool OpenSslCrypto::fetchAlgorithms() {
  if (libcryptoEnded) return false;
  joinRegistry();
  if (mac_ == nullptr) mac_ = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (aes_ == nullptr) aes_ = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  return mac_ != nullptr && aes_ != nullptr;
}

EVP_MAC_CTX* OpenSslCrypto::keyedMac(lan::Hash hash, const uint8_t* key, size_t keyLength) {
  EVP_MAC_CTX* context = EVP_MAC_CTX_new(mac_);
  if (context == nullptr) return nullptr;
  char sha1[] = "SHA1";
  char sha256[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                       hash == lan::Hash::kSha1 ? sha1 : sha256, 0),
      OSSL_PARAM_construct_end()};
  // An empty password is a key of no bytes; HMAC wants a pointer all the same.
  static const uint8_t kNoKey = 0;
  if (EVP_MAC_init(context, keyLength == 0 ? &kNoKey : key, keyLength, params) == 1) {
    return context;
  }
  EVP_MAC_CTX_free(context);
  return nullptr;
}

EVP_CIPHER_CTX* OpenSslCrypto::keyedAes(bool encrypt, const uint8_t* key) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (context != nullptr &&
      EVP_CipherInit_ex2(context, aes_, key, nullptr, encrypt ? 1 : 0, nullptr) == 1 &&
      EVP_CIPHER_CTX_set_padding(context, 0) == 1) {
    return context;
  }
  EVP_CIPHER_CTX_free(context);
  return nullptr;
}

void OpenSslCrypto::releaseAll() {
  dropSessionKeys();
  EVP_MAC_free(mac_);
  EVP_CIPHER_free(aes_);
  mac_ = nullptr;
  aes_ = nullptr;
  if (poolLeft_ > 0) OPENSSL_cleanse(pool_, poolLeft_);
  poolLeft_ = 0;
}

void OpenSslCrypto::joinRegistry() {
  if (registered_) return;
  if (!exitHookSet) exitHookSet = OPENSSL_atexit(releaseEveryone) == 1;
  nextRegistered_ = registered;
  registered = this;
  registered_ = true;
}

void OpenSslCrypto::leaveRegistry() {
  if (!registered_) return;
  for (OpenSslCrypto** link = &registered; *link != nullptr; link = &(*link)->nextRegistered_) {
    if (*link == this) {
      *link = nextRegistered_;
      break;
    }
  }
  registered_ = false;
}

void OpenSslCrypto::releaseEveryone() {
  for (OpenSslCrypto* crypto = registered; crypto != nullptr; crypto = crypto->nextRegistered_) {
    crypto->releaseAll();
  }
  libcryptoEnded = true;
}

}  // namespace linuxplatform
