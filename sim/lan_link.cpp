#include "sim/lan_link.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace sim::lan {

namespace {

using Clock = std::chrono::steady_clock;

// A reply held back by the delay knob.
struct Held {
  Clock::time_point due;
  rmcp::Bytes packet;
  sockaddr_storage peer;
  socklen_t peerLength;
};

void sendTo(int socket, const rmcp::Bytes& packet, const sockaddr_storage& peer, socklen_t length) {
  // UDP: a reply that cannot go out is lost, as on a network.
  (void)sendto(socket, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
               length);
}

void sendDue(int socket, std::vector<Held>& held) {
  const Clock::time_point now = Clock::now();
  for (auto it = held.begin(); it != held.end();) {
    if (it->due > now) {
      ++it;
      continue;
    }
    sendTo(socket, it->packet, it->peer, it->peerLength);
    it = held.erase(it);
  }
}

int pollTimeoutMillis(const std::vector<Held>& held) {
  constexpr int kStopCheckMillis = 200;
  int timeout = kStopCheckMillis;
  const Clock::time_point now = Clock::now();
  for (const Held& entry : held) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(entry.due - now).count();
    timeout = std::min(timeout, static_cast<int>(std::max<long long>(wait, 0)));
  }
  return timeout;
}

uint64_t nowMicros() {
  return uint64_t(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

}  // namespace

std::optional<std::pair<std::string, std::string>> splitAddress(const std::string& address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return std::nullopt;
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
      std::stoul(port) > 65535) {
    return std::nullopt;
  }
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  return std::make_pair(host, port);
}

int bindUdp(const std::string& address) {
  const auto parts = splitAddress(address);
  if (!parts) return -1;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* list = nullptr;
  if (getaddrinfo(parts->first.c_str(), parts->second.c_str(), &hints, &list) != 0) return -1;
  int fd = -1;
  for (addrinfo* entry = list; entry != nullptr && fd < 0; entry = entry->ai_next) {
    fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd >= 0 && bind(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  return fd;
}

void serve(LanServer& server, int socket, const volatile std::sig_atomic_t* stop) {
  std::vector<Held> held;
  rmcp::Bytes buffer(1024);
  while (!*stop) {
    pollfd ready{socket, POLLIN, 0};
    const int events = poll(&ready, 1, pollTimeoutMillis(held));
    sendDue(socket, held);
    server.watchReboot();
    if (events <= 0 || (ready.revents & POLLIN) == 0) continue;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const ssize_t received = recvfrom(socket, buffer.data(), buffer.size(), 0,
                                      reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (received <= 0) continue;
    const rmcp::Bytes packet(buffer.begin(), buffer.begin() + received);
    for (const LanDatagram& datagram : server.handle(packet, nowMicros())) {
      if (datagram.delayMillis == 0) {
        sendTo(socket, datagram.packet, peer, peerLength);
      } else {
        held.push_back({Clock::now() + std::chrono::milliseconds(datagram.delayMillis),
                        datagram.packet, peer, peerLength});
      }
    }
  }
}

}  // namespace sim::lan
