// Both ends of the external-BMC byte stream that QEMU's ipmi-bmc-extern
// device speaks: framing with escapes and checksums, a client that plays
// QEMU's part for build/host/velkoran(-sim), and a server that plays the BMC's
// part for bmcsim.
//
// Frames: content bytes, then 0xA0 (a message) or 0xA1 (a control
// command). Content bytes equal to 0xA0, 0xA1 or 0xAA travel as 0xAA
// followed by the byte with 0x10 set. A message is
//   seq netFnLun cmd [cc] data... checksum
// where the checksum makes all content bytes sum to 0 modulo 256.
#pragma once

#include <cstdint>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "bmc.h"

namespace sim::link {

constexpr uint8_t kMessageEnd = 0xA0;
constexpr uint8_t kControlEnd = 0xA1;
constexpr uint8_t kEscape = 0xAA;
constexpr uint8_t kEscapedBit = 0x10;

// Control commands.
constexpr uint8_t kControlVersion = 0xFF;
constexpr uint8_t kProtocolVersion = 0x01;
constexpr uint8_t kControlCapabilities = 0x08;
constexpr uint8_t kCapabilitiesOfHost = 0x3F;  // power, reset, IRQ, NMI, attention, shutdown

// QEMU drops replies of fewer content bytes (seq netFn cmd cc checksum),
// and keeps at most this many content bytes after seq.
constexpr size_t kMinimumReplyFrame = 5;
constexpr size_t kMaximumAfterSeq = 300;

uint8_t checksum(const Bytes& content);
// seq + payload + checksum, escaped, ended by 0xA0.
Bytes encodeMessage(uint8_t seq, const Bytes& payload);
// A control command (its op byte first), escaped, ended by 0xA1.
Bytes encodeControl(const Bytes& command);

struct Frame {
  enum Kind { message, control } kind;
  uint8_t seq = 0;  // messages only
  Bytes payload;    // message: without seq and checksum; control: op and data
};

// Reassembles frames from a byte stream. Messages shorter than the minimum
// or with a bad checksum are dropped and counted.
class Decoder {
 public:
  explicit Decoder(size_t minimumMessage = 3) : minimumMessage_(minimumMessage) {}
  std::optional<Frame> feed(uint8_t byte);
  int dropped = 0;

 private:
  size_t minimumMessage_;
  Bytes content_;
  bool escaped_ = false;
};

// "unix:PATH" or "tcp:HOST:PORT".
struct Address {
  bool unixSocket = false;
  std::string path;  // UNIX sockets
  std::string host;  // TCP
  uint16_t port = 0;
};
std::optional<Address> parseAddress(const std::string& text);
// A connected stream socket, or -1.
int connectTo(const Address& address);
// A listening stream socket (an old UNIX socket file is replaced), or -1.
int listenOn(const Address& address);

// The host's side: forwards each request to an external BMC and waits for
// its reply. Like QEMU it answers by itself with completion code 0xC3 when
// no reply comes in time, and 0xD2 when no BMC is connected.
class Client : public Endpoint {
 public:
  explicit Client(Address address, int replyTimeoutMillis = 4000);
  ~Client() override;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  std::optional<Bytes> exchange(const Bytes& message) override;

 private:
  bool ensureConnected();
  bool sendAll(const Bytes& bytes);
  std::optional<Bytes> awaitReply(uint8_t seq);
  void disconnect();

  Address address_;
  int replyTimeoutMillis_;
  int socket_ = -1;
  uint8_t seq_ = 0;
  Decoder decoder_{kMinimumReplyFrame};
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
