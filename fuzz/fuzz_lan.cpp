// What the network sends to the LAN client: every datagram the session reads
// (the v1.5 capabilities reply, the Open Session response, RAKP 2 and 4, the
// packets inside the session) comes from the input. The crypto is a stand-in
// whose codes are all zero and whose cipher copies, so that the fuzzer can
// reach the parsers behind the checks; the real checks are the unit tests'.
//
// Input: one byte (bit 0-1: the suite asked for; bits 2-4: requests made in
// the session), then datagrams, each a 2-byte little-endian length (taken
// modulo 1024) and its bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "transport/lan_session.h"

namespace {

struct StandInCrypto final : lan::Crypto {
  bool hmac(lan::Hash hash, const uint8_t*, size_t, const uint8_t*, size_t, uint8_t* out) override {
    std::memset(out, 0, lan::digestLength(hash));
    return true;
  }
  bool keySession(lan::Hash hash, const uint8_t*, const uint8_t*) override {
    sessionHash = hash;
    return true;
  }
  void dropSessionKeys() override {}
  bool sessionHmac(const uint8_t* data, size_t length, uint8_t* out) override {
    return hmac(sessionHash, nullptr, 0, data, length, out);
  }
  bool sessionAes(bool, const uint8_t*, const uint8_t* in, size_t length, uint8_t* out) override {
    std::memmove(out, in, length);
    return true;
  }
  bool random(uint8_t* out, size_t length) override {
    std::memset(out, 0x11, length);
    return true;
  }
  void wipe(void* bytes, size_t length) override { std::memset(bytes, 0, length); }
  lan::Hash sessionHash = lan::Hash::kSha1;
};

// The input's datagrams, one per receive; the clock runs to each deadline
// when they are used up.
struct InputDatagrams final : lan::Datagrams {
  const uint8_t* data;
  size_t size;
  uint64_t now = 0;
  bool send(const uint8_t*, size_t) override { return true; }
  int receive(uint8_t* buffer, size_t capacity, uint64_t deadline) override {
    if (size < 2) {
      now = deadline;
      return -1;
    }
    size_t length = (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % 1024;
    data += 2;
    size -= 2;
    if (length > size) length = size;
    const size_t copied = length < capacity ? length : capacity;
    std::memcpy(buffer, data, copied);
    data += length;
    size -= length;
    now += 1000;
    return static_cast<int>(copied);
  }
  uint64_t nowMicros() override { return now; }
};

constexpr uint8_t kSuites[] = {0, 3, 17, 0};
struct Request {
  uint8_t netFnLun;
  uint8_t command;
};
// Questions (sent again) and requests sent once.
constexpr Request kRequests[] = {{0x18, 0x01}, {0xF8, 0x15}, {0xF8, 0x17}, {0xF8, 0x20}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  StandInCrypto crypto;
  InputDatagrams net;
  net.data = data + 1;
  net.size = size - 1;
  const lan::Timing timing{1000000, 2, 1000000, 2, 1000000};
  lan::Session session(net, crypto, timing);
  if (session.open("admin", "secret", kSuites[data[0] & 3]) != lan::OpenResult::kOpened) return 0;
  const int requests = (data[0] >> 2) & 7;
  for (int i = 0; i < requests; ++i) {
    const Request& r = kRequests[i % 4];
    const uint8_t chunk[49] = {};
    uint8_t response[32];
    int32_t length = 0;
    const int code = session.exchange(r.netFnLun, r.command, chunk, i % 2 ? sizeof chunk : 1,
                                      response, sizeof response, &length);
    // A reply is a completion code with at most what KCS carries.
    if (code > 255 || (code >= 0 && (length < 0 || length > 125))) __builtin_trap();
  }
  session.close();
  return 0;
}
