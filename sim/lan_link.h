// bmcsim's LAN socket: a UDP socket on HOST:PORT and the loop that hands
// every datagram to the LanServer and sends (or holds back) its answers.
#pragma once

#include <csignal>
#include <optional>
#include <string>
#include <utility>

#include "sim/lan_server.h"

namespace sim::lan {

// "127.0.0.1:623", "localhost:623", "[::1]:623" -> host and port.
std::optional<std::pair<std::string, std::string>> splitAddress(const std::string& address);

// A bound UDP socket, or -1 (errno tells why).
int bindUdp(const std::string& address);

// Serves until *stop becomes true.
void serve(LanServer& server, int socket, const volatile std::sig_atomic_t* stop);

}  // namespace sim::lan
