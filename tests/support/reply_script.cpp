#include "sim/function_transport.h"
#include "support/reply_script.h"

#include <algorithm>
#include <map>

#include "app/run.h"
#include "transport/ipmi_wire.h"
#include "transport/kcs.h"

namespace testsupport {
namespace {

std::vector<ScriptedReply> gReplies;
std::map<uint8_t, int> gRequests;

const ScriptedReply* scriptFor(uint8_t netFnLun, uint8_t command) {
  if (netFnLun != kNetFnLunOem) return nullptr;
  const int number = ++gRequests[command];
  for (const ScriptedReply& reply : gReplies) {
    if (reply.command == command && (reply.request == 0 || reply.request == number)) {
      return &reply;
    }
  }
  return nullptr;
}

int scriptedTransfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
                     uint8_t* response, int32_t responseCapacity, int32_t* responseLength) {
  const ScriptedReply* script = scriptFor(netFnLun, command);
  if (script == nullptr || script->forward) {
    const int result = kcsTransfer(netFnLun, command, data, dataLength, response,
                                   responseCapacity, responseLength);
    if (script == nullptr) return result;
  }
  if (script->data) {
    const auto& bytes = *script->data;
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), size_t(responseCapacity)), response);
    *responseLength = int32_t(bytes.size());
  }
  if (script->length) *responseLength = *script->length;
  return script->result;
}

}  // namespace

ReplyScript::ReplyScript(std::vector<ScriptedReply> replies) {
  gReplies = std::move(replies);
  gRequests.clear();
  static constexpr TransportFunctions kScripted = {kcsOpen, scriptedTransfer, kcsClose};
  offerTransport(functionTransport(&kScripted));
}

ReplyScript::~ReplyScript() {
  offerTransport(kcsTransport());
  gReplies.clear();
}

}  // namespace testsupport
