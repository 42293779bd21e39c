// The host's end of the external-BMC byte stream that QEMU's ipmi-bmc-extern
// device speaks: framing with escapes and checksums, the socket address, and
// the client that velkoran uses for VELKORAN_BMC=unix:PATH|tcp:HOST:PORT.
// (bmcsim's server side builds on the framing here.)
//
// Frames: content bytes, then 0xA0 (a message) or 0xA1 (a control
// command). Content bytes equal to 0xA0, 0xA1 or 0xAA travel as 0xAA
// followed by the byte with 0x10 set. A message is
//   seq netFnLun cmd [cc] data... checksum
// where the checksum makes all content bytes sum to 0 modulo 256.
#pragma once

#include <netdb.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace linuxplatform::link {

using Bytes = std::vector<uint8_t>;

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
// How long an exchange waits for its reply before velkoran answers for the BMC.
constexpr int kReplyWaitSeconds = 4;

// Completion codes the client answers with by itself.
constexpr uint8_t kCompletionTimeout = 0xC3;
constexpr uint8_t kCompletionNotPresent = 0xD2;

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
// The longest UNIX socket path a socket address holds.
constexpr size_t kMaximumSocketPath = sizeof(sockaddr_un{}.sun_path) - 1;
// False when the path does not fit.
bool unixSocketAddress(const Address& address, sockaddr_un* out);
// Resolves a TCP address (nullptr when it cannot); the caller frees the list.
addrinfo* resolve(const Address& address, bool passive);
// A connected stream socket, or -1 when none came within the time limit.
int connectTo(const Address& address, int timeoutMillis);

// The host's side: forwards each request to an external BMC and waits for
// its reply. Like QEMU it answers by itself with completion code 0xC3 when
// no reply comes in time, and 0xD2 when no BMC is connected (also when the
// connection is not made within the same time).
class Client {
 public:
  explicit Client(Address address, int replyTimeoutMillis = kReplyWaitSeconds * 1000);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // message = netFnLun cmd data...; reply = (netFnLun|4) cmd cc data...
  // The reply is the one whose seq is the request's, passed on as the BMC
  // sent it (as QEMU does: the KCS driver behind it judges the rest).
  std::optional<Bytes> exchange(const Bytes& message);
  // True when the last exchange got no reply from the BMC (the reply was
  // the client's own 0xC3 or 0xD2).
  bool unanswered() const { return unanswered_; }

 private:
  bool ensureConnected();
  bool sendAll(const Bytes& bytes);
  std::optional<Bytes> awaitReply(uint8_t seq);
  void disconnect();

  Address address_;
  int replyTimeoutMillis_;
  int socket_ = -1;
  uint8_t seq_ = 0;
  bool unanswered_ = false;
  Decoder decoder_{kMinimumReplyFrame};
};

}  // namespace linuxplatform::link
