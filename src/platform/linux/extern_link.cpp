#include "platform/linux/extern_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace linuxplatform::link {

namespace {

using Clock = std::chrono::steady_clock;

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

// A reply of the client's own: no data after the completion code.
Bytes ownReply(const Bytes& message, uint8_t completionCode) {
  constexpr uint8_t kResponseBit = 0x04;
  const uint8_t netFnLun = message.empty() ? 0 : message[0];
  const uint8_t command = message.size() < 2 ? 0 : message[1];
  return Bytes{static_cast<uint8_t>(netFnLun | kResponseBit), command, completionCode};
}

int millisUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Connects without blocking past the deadline; signals do not cut the wait
// short (the cold reset after an interrupt still needs its connection).
bool connectBefore(int fd, const sockaddr* target, socklen_t length, Clock::time_point deadline) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  if (connect(fd, target, length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return false;
    pollfd waiting{fd, POLLOUT, 0};
    int ready = 0;
    while ((ready = poll(&waiting, 1, millisUntil(deadline))) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      return false;
    }
  }
  return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

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

bool unixSocketAddress(const Address& address, sockaddr_un* out) {
  *out = sockaddr_un{};
  out->sun_family = AF_UNIX;
  if (address.path.size() > kMaximumSocketPath) return false;
  std::memcpy(out->sun_path, address.path.c_str(), address.path.size() + 1);
  return true;
}

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

int connectTo(const Address& address, int timeoutMillis) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMillis);
  if (address.unixSocket) {
    sockaddr_un target;
    if (!unixSocketAddress(address, &target)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connectBefore(fd, reinterpret_cast<sockaddr*>(&target), sizeof target, deadline)) return fd;
    close(fd);
    return -1;
  }
  addrinfo* list = resolve(address, false);
  int fd = -1;
  for (addrinfo* entry = list; entry != nullptr && fd < 0; entry = entry->ai_next) {
    fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd >= 0 && !connectBefore(fd, entry->ai_addr, entry->ai_addrlen, deadline)) {
      close(fd);
      fd = -1;
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  return fd;
}

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
  socket_ = connectTo(address_, replyTimeoutMillis_);
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
  unanswered_ = true;
  if (!ensureConnected()) return ownReply(message, kCompletionNotPresent);
  const uint8_t seq = seq_++;
  if (!sendAll(encodeMessage(seq, message))) return ownReply(message, kCompletionNotPresent);
  if (std::optional<Bytes> reply = awaitReply(seq)) {
    unanswered_ = false;
    return reply;
  }
  return ownReply(message, socket_ >= 0 ? kCompletionTimeout : kCompletionNotPresent);
}

std::optional<Bytes> Client::awaitReply(uint8_t seq) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(replyTimeoutMillis_);
  uint8_t buffer[512];
  while (socket_ >= 0) {
    const int left = millisUntil(deadline);
    if (left <= 0) return std::nullopt;
    pollfd waiting{socket_, POLLIN, 0};
    if (poll(&waiting, 1, left) <= 0) continue;
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

}  // namespace linuxplatform::link
