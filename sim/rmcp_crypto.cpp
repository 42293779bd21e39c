#include "sim/rmcp_crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>

namespace sim::rmcp {

namespace {

// Setting a key up costs several times the hashing or encryption of a
// packet, so each key's contexts are kept for the next packets: as many as
// the sessions a BMC holds, the oldest replaced first. The algorithms are
// fetched once. All of it is let go before libcrypto ends itself at exit.
constexpr size_t kKeptKeys = 16;

struct KeptKey {
  Hash hash = Hash::sha1;  // the MAC's; AES keys ignore it
  Bytes key;
  EVP_MAC_CTX* mac = nullptr;
  EVP_CIPHER_CTX* encryptor = nullptr;
  EVP_CIPHER_CTX* decryptor = nullptr;
};

struct Kept {
  EVP_MAC* hmac = nullptr;
  EVP_CIPHER* aes = nullptr;
  KeptKey macs[kKeptKeys];
  KeptKey ciphers[kKeptKeys];
  size_t nextMac = 0;
  size_t nextCipher = 0;
  uint8_t pool[4096];
  size_t poolLeft = 0;
};

void release(KeptKey& kept) {
  EVP_MAC_CTX_free(kept.mac);  // each free wipes the key it held
  EVP_CIPHER_CTX_free(kept.encryptor);
  EVP_CIPHER_CTX_free(kept.decryptor);
  OPENSSL_cleanse(kept.key.data(), kept.key.size());
  kept = KeptKey{};
}

// Never destroyed: libcrypto, which ends itself at exit, frees it first.
Kept& kept() {
  static Kept* all = nullptr;
  if (all == nullptr) {
    all = new Kept;
    all->hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    all->aes = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    // Without them no packet can be checked or sent; a simulator cannot go on.
    if (all->hmac == nullptr || all->aes == nullptr) std::abort();
    OPENSSL_atexit([] {
      for (KeptKey& key : all->macs) release(key);
      for (KeptKey& key : all->ciphers) release(key);
      EVP_MAC_free(all->hmac);
      EVP_CIPHER_free(all->aes);
      OPENSSL_cleanse(all->pool, sizeof all->pool);
      delete all;
      all = nullptr;
    });
  }
  return *all;
}

// The entry holding key (for hash), made when there is none.
KeptKey& keptFor(KeptKey (&entries)[kKeptKeys], size_t& next, Hash hash, const uint8_t* key,
                 size_t keyLength) {
  for (KeptKey& entry : entries) {
    if (!entry.key.empty() && entry.hash == hash && entry.key.size() == keyLength &&
        CRYPTO_memcmp(entry.key.data(), key, keyLength) == 0) {
      return entry;
    }
  }
  KeptKey& entry = entries[next];
  next = (next + 1) % kKeptKeys;
  release(entry);
  entry.hash = hash;
  entry.key.assign(key, key + keyLength);
  return entry;
}

EVP_MAC_CTX* macFor(Hash hash, const Bytes& key) {
  Kept& all = kept();
  // An empty password is a key of no bytes; HMAC wants a pointer all the same.
  static const uint8_t kNoKey = 0;
  const uint8_t* keyBytes = key.empty() ? &kNoKey : key.data();
  KeptKey& entry = keptFor(all.macs, all.nextMac, hash, keyBytes, key.size());
  if (entry.mac == nullptr) {
    char sha1[] = "SHA1";
    char sha256[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(
                                     OSSL_MAC_PARAM_DIGEST, hash == Hash::sha1 ? sha1 : sha256, 0),
                                 OSSL_PARAM_construct_end()};
    entry.mac = EVP_MAC_CTX_new(all.hmac);
    if (entry.mac == nullptr || EVP_MAC_init(entry.mac, keyBytes, key.size(), params) != 1) {
      std::abort();
    }
    return entry.mac;
  }
  // Initialised without a key, the context starts again from the one it has.
  if (EVP_MAC_init(entry.mac, nullptr, 0, nullptr) != 1) std::abort();
  return entry.mac;
}

EVP_CIPHER_CTX* cipherFor(bool encrypt, const Bytes& key) {
  Kept& all = kept();
  KeptKey& entry = keptFor(all.ciphers, all.nextCipher, Hash::sha1, key.data(), 16);
  EVP_CIPHER_CTX*& context = encrypt ? entry.encryptor : entry.decryptor;
  if (context == nullptr) {
    context = EVP_CIPHER_CTX_new();
    if (context == nullptr ||
        EVP_CipherInit_ex2(context, all.aes, key.data(), nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context, 0) != 1) {
      std::abort();
    }
  }
  return context;
}

// One AES-128-CBC pass without OpenSSL's own padding; false on any failure.
bool aesCbc(bool encrypt, const Bytes& key, const uint8_t* iv, const uint8_t* in, size_t length,
            uint8_t* out) {
  if (key.size() < 16 || length % kAesBlock != 0) return false;
  // One context each way: the two directions use different key schedules.
  EVP_CIPHER_CTX* context = cipherFor(encrypt, key);
  int written = 0;
  int finalWritten = 0;
  return EVP_CipherInit_ex2(context, nullptr, nullptr, iv, encrypt ? 1 : 0, nullptr) == 1 &&
         EVP_CipherUpdate(context, out, &written, in, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(context, out + written, &finalWritten) == 1 &&
         static_cast<size_t>(written + finalWritten) == length;
}

}  // namespace

size_t hashLength(Hash hash) { return hash == Hash::sha1 ? 20 : 32; }

Bytes hmac(Hash hash, const Bytes& key, const uint8_t* data, size_t length) {
  Bytes out(hashLength(hash));
  EVP_MAC_CTX* context = macFor(hash, key);
  size_t written = 0;
  if (EVP_MAC_update(context, data, length) != 1 ||
      EVP_MAC_final(context, out.data(), &written, out.size()) != 1 || written != out.size()) {
    // Without a MAC no packet can be checked or sent; a simulator cannot go on.
    std::abort();
  }
  return out;
}

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length) {
  return CRYPTO_memcmp(a, b, length) == 0;
}

// Small draws (IVs, session IDs) come from a pool filled a page at a time,
// each byte wiped from it as it is handed out.
Bytes randomBytes(size_t count) {
  Bytes out(count);
  Kept& all = kept();
  if (count > sizeof all.pool / 4) {
    if (RAND_bytes(out.data(), static_cast<int>(count)) != 1) std::abort();
    return out;
  }
  if (count > all.poolLeft) {
    if (RAND_bytes(all.pool, static_cast<int>(sizeof all.pool)) != 1) std::abort();
    all.poolLeft = sizeof all.pool;
  }
  all.poolLeft -= count;
  std::copy_n(all.pool + all.poolLeft, count, out.begin());
  OPENSSL_cleanse(all.pool + all.poolLeft, count);
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
