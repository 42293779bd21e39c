#include "extern_link.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace sim::link {

namespace {

void appendEscaped(Bytes& out, uint8_t byte) {
  if (byte == kMessageEnd || byte == kControlEnd || byte == kEscape) {
    out.push_back(kEscape);
    out.push_back(static_cast<uint8_t>(byte | kEscapedBit));
  } else {
    out.push_back(byte);
  }
}

Bytes frame(const Bytes& content, uint8_t end) {
  Bytes out;
  for (uint8_t byte : content) appendEscaped(out, byte);
  out.push_back(end);
  return out;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, " %02X", byte);
    text += digits;
  }
  return text;
}

// Resolves a TCP address; the caller frees the list.
addrinfo* resolve(const Address& address, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* list = nullptr;
  const std::string port = std::to_string(address.port);
  const char* host = address.host.empty() ? nullptr : address.host.c_str();
  return getaddrinfo(host, port.c_str(), &hints, &list) == 0 ? list : nullptr;
}

bool unixAddress(const Address& address, sockaddr_un* out) {
  *out = sockaddr_un{};
  out->sun_family = AF_UNIX;
  if (address.path.size() >= sizeof out->sun_path) return false;
  std::memcpy(out->sun_path, address.path.c_str(), address.path.size() + 1);
  return true;
}

}  // namespace

}  // namespace sim::link

namespace sim {

// Here rather than beside the simulated BMC: the link's client makes replies
// of its own and goes into builds without the simulator.
Bytes replyMessage(uint8_t netFnLun, uint8_t command, const Reply& reply) {
  constexpr uint8_t kResponseBit = 0x04;
  Bytes message{static_cast<uint8_t>(netFnLun | kResponseBit), command, reply.completionCode};
  message.insert(message.end(), reply.data.begin(), reply.data.end());
  return message;
}

}  // namespace sim

namespace sim::link {

uint8_t checksum(const Bytes& content) {
  uint8_t sum = 0;
  for (uint8_t byte : content) sum = static_cast<uint8_t>(sum + byte);
  return static_cast<uint8_t>(-sum);
}

Bytes encodeMessage(uint8_t seq, const Bytes& payload) {
  Bytes content{seq};
  content.insert(content.end(), payload.begin(), payload.end());
  content.push_back(checksum(content));
  return frame(content, kMessageEnd);
}

Bytes encodeControl(const Bytes& command) { return frame(command, kControlEnd); }

std::optional<Frame> Decoder::feed(uint8_t byte) {
  if (byte == kEscape) {
    escaped_ = true;
    return std::nullopt;
  }
  if (byte == kMessageEnd || byte == kControlEnd) {
    Bytes content = std::move(content_);
    content_.clear();
    escaped_ = false;
    if (byte == kControlEnd) return Frame{Frame::control, 0, std::move(content)};
    if (content.size() < minimumMessage_ || checksum(content) != 0) {
      ++dropped;
      return std::nullopt;
    }
    return Frame{Frame::message, content[0], Bytes(content.begin() + 1, content.end() - 1)};
  }
  content_.push_back(escaped_ ? static_cast<uint8_t>(byte & ~kEscapedBit) : byte);
  escaped_ = false;
  return std::nullopt;
}

std::optional<Address> parseAddress(const std::string& text) {
  Address address;
  if (text.rfind("unix:", 0) == 0 && text.size() > 5) {
    address.unixSocket = true;
    address.path = text.substr(5);
    return address;
  }
  if (text.rfind("tcp:", 0) != 0) return std::nullopt;
  const std::string rest = text.substr(4);
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  address.host = rest.substr(0, colon);
  const std::string port = rest.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long number = std::stoul(port);
  if (number == 0 || number > 65535) return std::nullopt;
  address.port = static_cast<uint16_t>(number);
  return address;
}

int connectTo(const Address& address) {
  if (address.unixSocket) {
    sockaddr_un target;
    if (!unixAddress(address, &target)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return fd;
    close(fd);
    return -1;
  }
  addrinfo* list = resolve(address, false);
  int fd = -1;
  for (addrinfo* entry = list; entry != nullptr && fd < 0; entry = entry->ai_next) {
    fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd >= 0 && connect(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  return fd;
}

int listenOn(const Address& address) {
  if (address.unixSocket) {
    sockaddr_un local;
    if (!unixAddress(address, &local)) return -1;
    unlink(address.path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && listen(fd, 4) == 0) {
      return fd;
    }
    close(fd);
    return -1;
  }
  addrinfo* list = resolve(address, true);
  int fd = -1;
  for (addrinfo* entry = list; entry != nullptr && fd < 0; entry = entry->ai_next) {
    fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0) continue;
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, entry->ai_addr, entry->ai_addrlen) != 0 || listen(fd, 4) != 0) {
      close(fd);
      fd = -1;
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  return fd;
}

// ---- Client ----------------------------------------------------------------

Client::Client(Address address, int replyTimeoutMillis)
    : address_(std::move(address)), replyTimeoutMillis_(replyTimeoutMillis) {}

Client::~Client() { disconnect(); }

void Client::disconnect() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  decoder_ = Decoder{kMinimumReplyFrame};
}

bool Client::ensureConnected() {
  if (socket_ >= 0) return true;
  socket_ = connectTo(address_);
  if (socket_ < 0) return false;
  // What QEMU says on every connect; the BMC need not answer.
  Bytes hello = encodeControl({kControlVersion, kProtocolVersion});
  const Bytes capabilities = encodeControl({kControlCapabilities, kCapabilitiesOfHost});
  hello.insert(hello.end(), capabilities.begin(), capabilities.end());
  return sendAll(hello);
}

bool Client::sendAll(const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      disconnect();
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<Bytes> Client::exchange(const Bytes& message) {
  const uint8_t netFnLun = message.empty() ? 0 : message[0];
  const uint8_t command = message.size() < 2 ? 0 : message[1];
  if (!ensureConnected()) return replyMessage(netFnLun, command, Reply{kCompletionNotPresent, {}});
  const uint8_t seq = seq_++;
  if (!sendAll(encodeMessage(seq, message))) {
    return replyMessage(netFnLun, command, Reply{kCompletionNotPresent, {}});
  }
  if (std::optional<Bytes> reply = awaitReply(seq)) return reply;
  const uint8_t code = socket_ >= 0 ? kCompletionTimeout : kCompletionNotPresent;
  return replyMessage(netFnLun, command, Reply{code, {}});
}

std::optional<Bytes> Client::awaitReply(uint8_t seq) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(replyTimeoutMillis_);
  uint8_t buffer[512];
  while (socket_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd waiting{socket_, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      disconnect();
      return std::nullopt;
    }
    for (ssize_t i = 0; i < n; ++i) {
      std::optional<Frame> frame = decoder_.feed(buffer[i]);
      // A late reply to an earlier request carries an older seq: skip it.
      if (frame && frame->kind == Frame::message && frame->seq == seq) return frame->payload;
    }
  }
  return std::nullopt;
}

// ---- Server ----------------------------------------------------------------

void Server::log(const char* tag, const std::optional<uint8_t>& seq,
                 const std::optional<Bytes>& bytes) {
  if (journal_ == nullptr) return;
  std::fprintf(journal_, "%s", tag);
  if (seq) std::fprintf(journal_, " %02X", *seq);
  std::fprintf(journal_, "%s\n", bytes ? hex(*bytes).c_str() : " none");
  std::fflush(journal_);
}

Bytes Server::handleBytes(const uint8_t* bytes, size_t count) {
  Bytes out;
  for (size_t i = 0; i < count; ++i) {
    std::optional<Frame> frame = decoder_.feed(bytes[i]);
    if (!frame) continue;
    if (frame->kind == Frame::control) {
      log("CTL", std::nullopt, frame->payload);
      continue;
    }
    log("REQ", frame->seq, frame->payload);
    std::optional<Bytes> reply = bmc_.exchange(frame->payload);
    // Longer frames would overflow QEMU's buffer; cut them like a BMC
    // with a fixed-size output buffer would.
    if (reply && reply->size() + 1 > kMaximumAfterSeq) reply->resize(kMaximumAfterSeq - 1);
    log("RSP", frame->seq, reply);
    if (reply) {
      const Bytes encoded = encodeMessage(frame->seq, *reply);
      out.insert(out.end(), encoded.begin(), encoded.end());
    }
  }
  return out;
}

void Server::serveConnection(int socket, const volatile std::sig_atomic_t* stop) {
  decoder_ = Decoder{4};
  uint8_t buffer[512];
  while (!*stop) {
    const ssize_t n = recv(socket, buffer, sizeof buffer, 0);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const Bytes reply = handleBytes(buffer, static_cast<size_t>(n));
    size_t sent = 0;
    while (sent < reply.size()) {
      const ssize_t written = send(socket, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (written <= 0) return;
      sent += static_cast<size_t>(written);
    }
  }
}

}  // namespace sim::link
