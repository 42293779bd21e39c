// An endpoint between the simulated KCS interface and the simulated BMC
// that changes the replies on their way back: a BMC that answers another
// request, or says it is busy.
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "sim/bmc.h"

namespace simtest {

class ReplyRewriter : public sim::Endpoint {
 public:
  // Gets the request and may change or drop (std::nullopt) its reply.
  using Rewrite = std::function<void(const sim::Bytes& request, std::optional<sim::Bytes>& reply)>;

  ReplyRewriter(sim::Endpoint& inner, Rewrite rewrite)
      : inner_(inner), rewrite_(std::move(rewrite)) {}

  std::optional<sim::Bytes> exchange(const sim::Bytes& message) override {
    std::optional<sim::Bytes> reply = inner_.exchange(message);
    rewrite_(message, reply);
    return reply;
  }

 private:
  sim::Endpoint& inner_;
  Rewrite rewrite_;
};

// Get Device ID replies: the first `asGiven` as the BMC gives them, the next
// `busy` with the "device available" bit saying busy, then as the BMC gives
// them again, or none at all when `thenSilent`.
inline ReplyRewriter::Rewrite busyDeviceId(int asGiven, int busy, bool thenSilent) {
  return [asGiven, busy, thenSilent, answered = 0](const sim::Bytes& request,
                                                   std::optional<sim::Bytes>& reply) mutable {
    constexpr size_t kFirmwareRevisionByte = 5;  // netFn, command, code, ID, revision
    if (request.size() < 2 || request[0] != 0x18 || request[1] != 0x01 || !reply) return;
    ++answered;
    if (answered <= asGiven) return;
    if (answered > asGiven + busy) {
      if (thenSilent) reply.reset();
      return;
    }
    if (reply->size() > kFirmwareRevisionByte) (*reply)[kFirmwareRevisionByte] |= 0x80;
  };
}

}  // namespace simtest
