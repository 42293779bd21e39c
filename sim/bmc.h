// The simulated BMC behind the KCS device: takes whole request messages and
// returns whole reply messages. Host-only code (std containers are fine).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct Request {
  uint8_t netFnLun;
  uint8_t command;
  Bytes data;  // bytes after the command byte
};

struct Reply {
  uint8_t completionCode;
  Bytes data;  // bytes after the completion code
};

// A command handler; std::nullopt means the BMC does not answer at all.
using Handler = std::function<std::optional<Reply>(const Request&)>;

// Anything that turns a request message into a reply message: the in-process
// Bmc below, or a link to an external BMC.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // message = netFnLun cmd data...; reply = (netFnLun|4) cmd cc data...
  // std::nullopt: no answer.
  virtual std::optional<Bytes> exchange(const Bytes& message) = 0;
};

class Bmc : public Endpoint {
 public:
  Bmc();
  // Handlers are keyed by the request's netFnLun byte and command.
  void setHandler(uint8_t netFnLun, uint8_t command, Handler handler);
  std::optional<Bytes> exchange(const Bytes& message) override;

  // Every request message received, in order.
  std::vector<Bytes> received;
  int coldResets = 0;

  // Fault knobs (all off by default).
  struct Faults {
    // Completion code forced for a command (netFnLun << 8 | command).
    std::map<uint16_t, uint8_t> completionCode;
    // Commands that get no answer at all.
    std::map<uint16_t, bool> silent;
    // Replace the whole reply message by one of this many bytes (0, 1, 2 or
    // more than 128); -1 keeps the real reply.
    int replyLengthOverride = -1;
  } faults;

 private:
  std::map<uint16_t, Handler> handlers_;
};

}  // namespace sim
