// What the RMCP+ session needs from the outside world: keyed hashes, AES,
// random bytes, and UDP datagrams to one BMC. The core holds no crypto of
// its own; the platform supplies vetted implementations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lan {

enum class Hash : uint8_t { kSha1, kSha256 };

constexpr size_t kMaxDigest = 32;
constexpr size_t kAesBlock = 16;

// One session's keys at a time: they are set once and serve every packet,
// because setting a key up costs several times the hashing of a packet.
class Crypto {
 public:
  // HMAC of data under key into out (20 or 32 bytes); false on failure.
  virtual bool hmac(Hash hash, const uint8_t* key, size_t keyLength, const uint8_t* data,
                    size_t length, uint8_t* out) = 0;
  // The session's integrity key (digestLength(hash) bytes) and AES-128 key
  // (16 bytes), in place of any before; the caller may wipe its copies.
  // False on failure, and then no keys are set.
  virtual bool keySession(Hash hash, const uint8_t* integrityKey, const uint8_t* aesKey) = 0;
  // Wipes the session's keys; the session calls fail until keySession.
  virtual void dropSessionKeys() = 0;
  // HMAC under the session's integrity key.
  virtual bool sessionHmac(const uint8_t* data, size_t length, uint8_t* out) = 0;
  // AES-128-CBC under the session's key, without padding; length is a
  // multiple of 16.
  virtual bool sessionAes(bool encrypt, const uint8_t* iv, const uint8_t* in, size_t length,
                          uint8_t* out) = 0;
  virtual bool random(uint8_t* out, size_t length) = 0;
  // Overwrites secrets so that the compiler cannot drop it.
  virtual void wipe(void* bytes, size_t length) = 0;

 protected:
  ~Crypto() = default;
};

class Datagrams {
 public:
  virtual bool send(const uint8_t* bytes, size_t length) = 0;
  // The length of the next datagram (truncated to capacity), or -1 when
  // none came before deadlineMicros (on the clock nowMicros reads).
  virtual int receive(uint8_t* buffer, size_t capacity, uint64_t deadlineMicros) = 0;
  virtual uint64_t nowMicros() = 0;

 protected:
  ~Datagrams() = default;
};

inline size_t digestLength(Hash hash) { return hash == Hash::kSha1 ? 20 : 32; }

}  // namespace lan
