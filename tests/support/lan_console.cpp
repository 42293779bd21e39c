#include "support/lan_console.h"

namespace lantest {

using namespace sim::rmcp;

namespace {

constexpr uint32_t kConsoleId = 0xA1B2C3D4;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes le32(uint32_t value) {
  Bytes out;
  appendLe32(out, value);
  return out;
}

}  // namespace

std::optional<Bytes> Console::exchange(uint8_t type, const Bytes& payload, uint8_t responseType) {
  const auto replies = server_.handle(buildV20(type, 0, 0, payload, nullptr), 0);
  if (replies.size() != 1) return std::nullopt;
  const auto header = parseV20(replies[0].packet);
  if (!header || header->payloadType != responseType) return std::nullopt;
  return Bytes(replies[0].packet.begin() + static_cast<long>(header->payloadOffset),
               replies[0].packet.end());
}

Handshake Console::open(uint8_t suiteId, uint8_t role) {
  Handshake result;
  const CipherSuite* suite = cipherSuite(suiteId);
  const uint8_t auth = suite ? suite->authentication : 0, integ = suite ? suite->integrity : 0,
                conf = suite ? suite->confidentiality : 0;
  const Bytes request = concat({{0x07, 0x04, 0, 0}, le32(kConsoleId), {0, 0, 0, 8, auth, 0, 0, 0},
                                {1, 0, 0, 8, integ, 0, 0, 0}, {2, 0, 0, 8, conf, 0, 0, 0}});
  const auto opened = exchange(kPayloadOpenSessionRequest, request, kPayloadOpenSessionResponse);
  if (!opened) return result;
  result.openSession = (*opened)[1];
  if ((*opened)[1] != 0) return result;
  suite_ = suite;
  bmcId = readLe32(&(*opened)[8]);

  const Bytes consoleRandom(16, 0x5C);
  const Bytes name(user_.begin(), user_.end());
  const Bytes rakp1 = concat({{0x08, 0, 0, 0}, le32(bmcId), consoleRandom,
                              {role, 0, 0, static_cast<uint8_t>(name.size())}, name});
  const auto rakp2 = exchange(kPayloadRakp1, rakp1, kPayloadRakp2);
  if (!rakp2) return result;
  result.rakp2 = (*rakp2)[1];
  if ((*rakp2)[1] != 0) return result;
  const Bytes bmcRandom(rakp2->begin() + 8, rakp2->begin() + 24);
  const Bytes guid(rakp2->begin() + 24, rakp2->begin() + 40);
  Bytes key(password_.begin(), password_.end());
  key.resize(20, 0);
  const Hash hash = suite->hash;
  const Bytes tail{role, static_cast<uint8_t>(name.size())};
  const Bytes proof = hmac(hash, key, concat({le32(kConsoleId), le32(bmcId), consoleRandom,
                                              bmcRandom, guid, tail, name}));
  result.rakp2Verified = Bytes(rakp2->begin() + 40, rakp2->end()) == proof;

  const Bytes rakp3 = concat({{0x09, 0, 0, 0}, le32(bmcId),
                              hmac(hash, key, concat({bmcRandom, le32(kConsoleId), tail, name}))});
  const auto rakp4 = exchange(kPayloadRakp3, rakp3, kPayloadRakp4);
  if (!rakp4) return result;
  result.rakp4 = (*rakp4)[1];
  if ((*rakp4)[1] != 0) return result;
  const Bytes sik = hmac(hash, key, concat({consoleRandom, bmcRandom, tail, name}));
  Bytes check = hmac(hash, sik, concat({consoleRandom, le32(bmcId), guid}));
  check.resize(suite->integrityLength);
  result.rakp4Verified = Bytes(rakp4->begin() + 8, rakp4->end()) == check;
  integrity_ = {hash, hmac(hash, sik, Bytes(20, 1)), suite->integrityLength};
  aesKey_ = hmac(hash, sik, Bytes(20, 2));
  aesKey_.resize(16);
  return result;
}

Bytes Console::seal(uint8_t netFnLun, uint8_t command, const Bytes& data) {
  Bytes framed{0x20, netFnLun};
  framed.push_back(checksum(framed.data(), 2));
  framed.insert(framed.end(), {0x81, static_cast<uint8_t>(++requestSequence_ << 2), command});
  framed.insert(framed.end(), data.begin(), data.end());
  framed.push_back(checksum(framed.data() + 3, framed.size() - 3));
  return buildV20(kPayloadEncrypted | kPayloadIpmi, bmcId, ++sequence,
                  aesCbcEncrypt(aesKey_, framed), &integrity_);
}

std::optional<Bytes> Console::unseal(const Bytes& packet) {
  const auto header = parseV20(packet);
  if (!header || header->sessionId != kConsoleId || !trailerValid(packet, *header, integrity_)) {
    return std::nullopt;
  }
  const auto framed = aesCbcDecrypt(aesKey_, &packet[header->payloadOffset], header->payloadLength);
  if (!framed || framed->size() < 8 || checksum(framed->data(), 3) != 0 ||
      checksum(framed->data() + 3, framed->size() - 3) != 0) {
    return std::nullopt;
  }
  Bytes message{(*framed)[1]};
  message.insert(message.end(), framed->begin() + 5, framed->end() - 1);
  return message;
}

std::optional<Bytes> Console::ask(uint8_t netFnLun, uint8_t command, const Bytes& data) {
  const auto replies = server_.handle(seal(netFnLun, command, data), 0);
  if (replies.size() != 1) return std::nullopt;
  return unseal(replies[0].packet);
}

}  // namespace lantest
