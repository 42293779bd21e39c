// Answers chosen OEM requests in the BMC's place, or changes the BMC's reply
// on its way back: replies no simulator knob gives (an error code that
// carries data, a reply cut short). Every other request goes through the
// KCS transfer to the simulated BMC unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace testsupport {

struct ScriptedReply {
  uint8_t command;     // OEM command (network function 0x3E)
  int request;         // 1-based number among that command's requests; 0 for all
  bool forward;        // the BMC sees the request and its reply is changed
  int result;          // what the transfer returns: a completion code, or -1
  std::optional<std::vector<uint8_t>> data;  // the response bytes instead of the BMC's
  std::optional<int32_t> length;             // the response length instead of the real one
};

// Binds the scripted transport for the runs of its lifetime.
class ReplyScript {
 public:
  explicit ReplyScript(std::vector<ScriptedReply> replies);
  ~ReplyScript();
  ReplyScript(const ReplyScript&) = delete;
  ReplyScript& operator=(const ReplyScript&) = delete;
};

}  // namespace testsupport
