#include "platform/linux/lan_socket.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/linux/complain.h"
#include "platform/platform.h"

namespace linuxplatform {

int UdpDatagrams::connectTo(const char* host, const char* port) {
  disconnect();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host, port, &hints, &found);
  if (error != 0) {
    complain("cannot find the BMC %s port %s: %s", host, port, gai_strerror(error));
    return -1;
  }
  // The first address a socket can be connected to: replies from anyone
  // else never reach this program.
  for (const addrinfo* at = found; at != nullptr && fd_ < 0; at = at->ai_next) {
    const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, at->ai_addr, at->ai_addrlen) == 0) {
      fd_ = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (fd_ >= 0) return 0;
  complain("cannot reach the BMC %s port %s", host, port);
  return -1;
}

void UdpDatagrams::disconnect() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool UdpDatagrams::send(const uint8_t* bytes, size_t length) {
  for (;;) {
    const ssize_t sent = ::send(fd_, bytes, length, 0);
    if (sent == static_cast<ssize_t>(length)) return true;
    // A refused earlier datagram (ICMP) is reported on the next call.
    if (sent < 0 && (errno == EINTR || errno == ECONNREFUSED)) continue;
    return false;
  }
}

int UdpDatagrams::receive(uint8_t* buffer, size_t capacity, uint64_t deadlineMicros) {
  for (;;) {
    const uint64_t now = nowMicros();
    if (now >= deadlineMicros) return -1;
    const uint64_t leftMillis = (deadlineMicros - now + 999) / 1000;
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(leftMillis > 60000 ? 60000 : leftMillis));
    if (platform::stopRequested()) return -1;  // a signal: the run ends
    if (ready <= 0) continue;  // time left: look at the clock again
    const ssize_t received = recv(fd_, buffer, capacity, MSG_DONTWAIT);
    if (received >= 0) return static_cast<int>(received);
  }
}

uint64_t UdpDatagrams::nowMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace linuxplatform
