#include "extern_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace sim::link {

namespace {

std::string hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, " %02X", byte);
    text += digits;
  }
  return text;
}

}  // namespace

int listenOn(const Address& address) {
  if (address.unixSocket) {
    sockaddr_un local;
    if (!unixSocketAddress(address, &local)) return -1;
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
