// The BMC's end of QEMU's external-BMC byte stream, for bmcsim, on the
// framing of velkoran's link client (platform/linux/extern_link.h).
#pragma once

#include <csignal>
#include <cstdio>
#include <optional>

#include "bmc.h"
#include "platform/linux/extern_link.h"

namespace sim::link {

using namespace linuxplatform::link;

// A listening stream socket (an old UNIX socket file is replaced), or -1.
int listenOn(const Address& address);

// The link's client as an endpoint of the simulator's KCS device, so that
// velkoran-sim's ports lead to an external BMC.
class ClientEndpoint : public Endpoint {
 public:
  explicit ClientEndpoint(Address address, int replyTimeoutMillis = 4000)
      : client_(std::move(address), replyTimeoutMillis) {}
  std::optional<Bytes> exchange(const Bytes& message) override { return client_.exchange(message); }

 private:
  Client client_;
};

// The BMC's side: answers the requests arriving on one connection from an
// Endpoint, optionally writing a journal line for every frame:
//   REQ <seq> <message bytes>      a request
//   RSP <seq> <reply bytes>        its reply, or "RSP <seq> none"
//   CTL <command bytes>            a control command
// (bytes as two-digit upper-case hex separated by blanks).
class Server {
 public:
  Server(Endpoint& bmc, std::FILE* journal) : bmc_(bmc), journal_(journal) {}
  // Serves until the peer closes the connection or *stop becomes true.
  void serveConnection(int socket, const volatile std::sig_atomic_t* stop);
  // Handles bytes received; returns the bytes to send back.
  Bytes handleBytes(const uint8_t* bytes, size_t count);

 private:
  void log(const char* tag, const std::optional<uint8_t>& seq, const std::optional<Bytes>& bytes);

  Endpoint& bmc_;
  std::FILE* journal_;
  Decoder decoder_{4};
};

}  // namespace sim::link
