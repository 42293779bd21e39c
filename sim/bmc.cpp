#include "bmc.h"

#include <algorithm>
#include <utility>

#include "transport/ipmi_wire.h"

namespace sim {

namespace {
constexpr uint8_t kResponseBit = 0x04;

// A reply of exactly `length` bytes: the header and completion code as far
// as they fit, then a counting pattern.
Bytes replyOfLength(const Bytes& message, int length) {
  Bytes reply;
  for (int i = 0; i < length; ++i) {
    if (i == 0) {
      reply.push_back(static_cast<uint8_t>(message[0] | kResponseBit));
    } else if (i == 1) {
      reply.push_back(message[1]);
    } else if (i == 2) {
      reply.push_back(kCompletionOk);
    } else {
      reply.push_back(static_cast<uint8_t>(i - 3));
    }
  }
  return reply;
}

}  // namespace

Bytes replyMessage(uint8_t netFnLun, uint8_t command, const Reply& reply) {
  constexpr uint8_t kResponseBit = 0x04;
  Bytes message(reply.data.size() + 3);
  message[0] = static_cast<uint8_t>(netFnLun | kResponseBit);
  message[1] = command;
  message[2] = reply.completionCode;
  std::copy(reply.data.begin(), reply.data.end(), message.begin() + 3);
  return message;
}

Bmc::Bmc() {
  // Cold Reset takes no request data; with some it is no Cold Reset, and
  // the BMC does not reset.
  setHandler(kNetFnLunApp, kCmdColdReset, [this](const Request& request) {
    if (!request.data.empty()) return Reply{kCompletionInvalidLength, {}};
    ++coldResets;
    for (auto& listener : coldResetListeners_) listener();
    return Reply{kCompletionOk, {}};
  });
}

void Bmc::setHandler(uint8_t netFnLun, uint8_t command, Handler handler) {
  handlers_[commandKey(netFnLun, command)] = std::move(handler);
}

bool Bmc::hasHandler(uint8_t netFnLun, uint8_t command) const {
  return handlers_.count(commandKey(netFnLun, command)) != 0;
}

void Bmc::onColdReset(std::function<void()> listener) {
  coldResetListeners_.push_back(std::move(listener));
}

int Bmc::countOf(uint8_t netFnLun, uint8_t command) const {
  int count = 0;
  for (const Bytes& message : received) {
    if (message.size() >= 2 && message[0] == netFnLun && message[1] == command) {
      ++count;
    }
  }
  return count;
}

std::optional<Bytes> Bmc::exchange(const Bytes& message) {
  received.push_back(message);
  std::optional<Bytes> reply = answer(message);
  replies.push_back(reply);
  return reply;
}

std::optional<Bytes> Bmc::answer(const Bytes& message) {
  if (message.size() < 2) {
    // Not even a command byte: nothing to answer to.
    return std::nullopt;
  }
  if (available && !available()) return std::nullopt;
  const uint16_t key = commandKey(message[0], message[1]);
  auto silent = faults.silent.find(key);
  if (faults.silentAll || (silent != faults.silent.end() && silent->second)) {
    return std::nullopt;
  }
  std::optional<Bytes> reply;
  if (auto forced = faults.completionCode.find(key); forced != faults.completionCode.end()) {
    reply = replyMessage(message[0], message[1], Reply{forced->second, {}});
  } else if (auto handler = handlers_.find(key); handler != handlers_.end()) {
    Request request{message[0], message[1], Bytes(message.begin() + 2, message.end())};
    std::optional<Reply> answer = handler->second(request);
    if (!answer) return std::nullopt;
    reply = replyMessage(message[0], message[1], *answer);
  } else {
    reply = replyMessage(message[0], message[1], Reply{kCompletionInvalidCommand, {}});
  }
  if (faults.replyLengthOverride >= 0) {
    reply = replyOfLength(message, faults.replyLengthOverride);
  }
  if (reply) giveForeignHeader(key, *reply);
  return reply;
}

void Bmc::giveForeignHeader(uint16_t key, Bytes& reply) {
  auto foreign = faults.foreignReply.find(key);
  if (foreign == faults.foreignReply.end() || foreign->second.count == 0) return;
  if (foreign->second.count > 0) --foreign->second.count;
  if (reply.size() >= 1) reply[0] = static_cast<uint8_t>(foreign->second.netFnLun | kResponseBit);
  if (reply.size() >= 2) reply[1] = foreign->second.command;
}

}  // namespace sim
