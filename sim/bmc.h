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

// IPMI completion codes the simulator produces itself.
constexpr uint8_t kCompletionOk = 0x00;
constexpr uint8_t kCompletionInvalidCommand = 0xC1;
constexpr uint8_t kCompletionTimeout = 0xC3;
constexpr uint8_t kCompletionInvalidLength = 0xC7;
constexpr uint8_t kCompletionNotPresent = 0xD2;

// The key of a command in handler tables and fault maps.
constexpr uint16_t commandKey(uint8_t netFnLun, uint8_t command) {
  return static_cast<uint16_t>(netFnLun << 8 | command);
}

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
  // Starts with the Cold Reset handler installed.
  Bmc();
  // Handlers are keyed by the request's netFnLun byte and command; a later
  // handler for the same key replaces the earlier one.
  void setHandler(uint8_t netFnLun, uint8_t command, Handler handler);
  bool hasHandler(uint8_t netFnLun, uint8_t command) const;
  // Called after every accepted Cold Reset (handler modules drop their state).
  void onColdReset(std::function<void()> listener);

  std::optional<Bytes> exchange(const Bytes& message) override;

  // Every request message received, in order, and what was sent back for
  // it (std::nullopt: no answer).
  std::vector<Bytes> received;
  std::vector<std::optional<Bytes>> replies;
  int coldResets = 0;
  // While set and false, nothing is answered (a rebooting BMC); requests
  // are still recorded.
  std::function<bool()> available;

  // Requests received for one command.
  int countOf(uint8_t netFnLun, uint8_t command) const;

  // Fault knobs (all off by default).
  struct Faults {
    // Completion code forced for a command (commandKey): the handler does
    // not run and the reply carries no data.
    std::map<uint16_t, uint8_t> completionCode;
    // Commands that get no answer at all.
    std::map<uint16_t, bool> silent;
    // Every command gets no answer.
    bool silentAll = false;
    // Replace the whole reply message by one of this many bytes (0, 1, 2 or
    // more than 128); -1 keeps the real reply.
    int replyLengthOverride = -1;
    // A command (commandKey) whose reply carries the header of another
    // request (netFnLun | 4, command), for `count` answers (-1: every one);
    // the completion code and data stay the real ones.
    struct ForeignHeader {
      uint8_t netFnLun;
      uint8_t command;
      int count = -1;
    };
    std::map<uint16_t, ForeignHeader> foreignReply;
  } faults;

 private:
  std::optional<Bytes> answer(const Bytes& message);
  void giveForeignHeader(uint16_t key, Bytes& reply);
  std::map<uint16_t, Handler> handlers_;
  std::vector<std::function<void()>> coldResetListeners_;
};

// Turns a reply record into the reply message for a request.
Bytes replyMessage(uint8_t netFnLun, uint8_t command, const Reply& reply);

}  // namespace sim
