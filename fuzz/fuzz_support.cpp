#include "sim/function_transport.h"
#include "fuzz_support.h"

#include <algorithm>
#include <optional>

#include "state/tool_context.h"
#include "transport/kcs.h"

namespace fuzzsupport {

namespace {

constexpr int kPatientReads = 16;
constexpr uint64_t kSkipMicros = 250000;
constexpr size_t kReplyHeader = 3;    // netFn/LUN, command, completion code
constexpr size_t kLongestReply = 128;  // what the transfer takes; longer fails
// One whole reply in this many still takes the simulated interface, so that
// its reading of real replies stays in the fuzzers' view.
constexpr unsigned kWholeRepliesPerInterfaceTrip = 8;

QuietEndpoint* routedBmc = nullptr;
unsigned wholeReplies = 0;

// Hands the simulated interface the answer the BMC has already given.
class Replay : public sim::Endpoint {
 public:
  std::optional<sim::Bytes> answer;
  std::optional<sim::Bytes> exchange(const sim::Bytes&) override { return answer; }
};
Replay replay;

int transferToBmc(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                  uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  // A request the transfer refuses to send never reaches the BMC.
  if (routedBmc == nullptr || dataLength < 0 || dataLength > kKcsMaxRequestData) {
    return kcsTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                       responseLength);
  }
  if (routedBmc->takeQuietly(netFnLun, command, data, size_t(dataLength))) {
    *responseLength = 0;
    return 0;
  }
  sim::Bytes message{netFnLun, command};
  message.insert(message.end(), data, data + dataLength);
  std::optional<sim::Bytes> reply = routedBmc->exchange(message);
  const bool whole = reply && reply->size() >= kReplyHeader && reply->size() <= kLongestReply;
  if (whole && ++wholeReplies % kWholeRepliesPerInterfaceTrip != 0) {
    const size_t length = reply->size() - kReplyHeader;
    *responseLength = int32_t(length);
    std::copy_n(reply->begin() + kReplyHeader, std::min(length, size_t(responseCapacity)),
                response);
    return (*reply)[2];
  }
  replay.answer = std::move(reply);
  return kcsTransfer(netFnLun, command, data, dataLength, response, responseCapacity,
                     responseLength);
}

}  // namespace

FastForwardPorts::FastForwardPorts(sim::KcsDevice& device) : device_(device) {
  hostplatform::setPortDevice(this);
}

FastForwardPorts::~FastForwardPorts() { hostplatform::setPortDevice(&device_); }

uint8_t FastForwardPorts::in(uint16_t port) {
  const uint8_t value = device_.in(port);
  // The status register shares the command port's address.
  const bool status = port == sim::kDefaultCommandPort;
  if (status && value == lastStatus_) {
    if (++sameStatusReads_ > kPatientReads) hostplatform::advanceClock(kSkipMicros);
  } else {
    sameStatusReads_ = 0;
  }
  lastStatus_ = status ? value : -1;
  return value;
}

void FastForwardPorts::out(uint16_t port, uint8_t value) {
  sameStatusReads_ = 0;
  device_.out(port, value);
}

void routeTransfers(sim::Rig& rig, QuietEndpoint* bmc) {
  routedBmc = bmc;
  wholeReplies = 0;
  if (bmc != nullptr) rig.kcs.setEndpoint(&replay);
  static constexpr TransportFunctions kToBmc = {kcsOpen, transferToBmc, kcsClose};
  toolContext.transport = bmc != nullptr ? functionTransport(&kToBmc) : kcsTransport();
}

}  // namespace fuzzsupport
