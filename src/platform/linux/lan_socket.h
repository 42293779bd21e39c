// UDP datagrams to one BMC (IPv4 or IPv6, a name or an address).
#pragma once

#include "transport/lan_crypto.h"

namespace linuxplatform {

class UdpDatagrams final : public lan::Datagrams {
 public:
  UdpDatagrams() = default;
  UdpDatagrams(const UdpDatagrams&) = delete;
  UdpDatagrams& operator=(const UdpDatagrams&) = delete;
  ~UdpDatagrams() { disconnect(); }

  // 0, or -1 after a line on stderr saying why.
  int connectTo(const char* host, const char* port);
  void disconnect();
  int descriptor() const { return fd_; }

  bool send(const uint8_t* bytes, size_t length) override;
  int receive(uint8_t* buffer, size_t capacity, uint64_t deadlineMicros) override;
  uint64_t nowMicros() override;

 private:
  int fd_ = -1;
};

}  // namespace linuxplatform
