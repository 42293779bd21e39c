// A hostile BMC for configuration backup and restore: every reply's length,
// completion code, task id, state, sequence and data come from the input.
// The run must end within a bounded number of exchanges, stay inside its
// buffers (the sanitizers watch), leave a backup file that is exactly the
// data of the replies the protocol accepts, and send a restore file's bytes
// in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/run.h"
#include "config/config.h"
#include "fuzz_support.h"
#include "sim/rig.h"
#include "state/tool_context.h"
#include "transport/kcs.h"

namespace {

using sim::Bytes;

using fuzzsupport::fail;

// Every reply shaped by the input uses at least one input byte; once the
// input is used up the BMC is stuck, and the driver must give up within
// the attempts of one request, six empty blocks and the abort.
constexpr size_t kExchangesAfterInput = 40;

class HostileBmc : public fuzzsupport::QuietEndpoint {
 public:
  HostileBmc(FuzzedDataProvider& input, size_t inputSize)
      : input_(input), exchangeCap_(inputSize + kExchangesAfterInput) {}

  std::optional<Bytes> exchange(const Bytes& message) override {
    if (++exchanges > exchangeCap_) fail();  // the driver does not stop
    std::optional<Bytes> reply = answer(message);
    requests.push_back(message);
    return reply;
  }

  std::vector<Bytes> requests;
  size_t exchanges = 0;
  Bytes acceptedData;  // what the backup file must hold

 private:
  std::optional<Bytes> answer(const Bytes& message) {
    if (input_.remaining_bytes() == 0) return stuck(message);
    switch (input_.ConsumeIntegralInRange<int>(0, 63)) {
      case 0: return std::nullopt;  // a transport failure (a 10 s timeout)
      case 1: return rawBytes(message);
      default: return plausibleReply(message);
    }
  }

  // Once the input is used up: state 3 for ever, in step but without data,
  // which no request waits for.
  static std::optional<Bytes> stuck(const Bytes& message) {
    const uint8_t id = message.size() > 2 ? message[2] >> 4 : 0;
    const uint32_t next = message.size() > 5 ? (readLe24(message, 3) + 1) & 0xFFFFFF : 0;
    return Bytes{0xFC, 0x20, 0x00, static_cast<uint8_t>(id << 4 | 3 << 1),
                 static_cast<uint8_t>(next), static_cast<uint8_t>(next >> 8),
                 static_cast<uint8_t>(next >> 16)};
  }

  // Raw bytes may happen to form a reply the protocol accepts.
  std::optional<Bytes> rawBytes(const Bytes& message) {
    Bytes reply = input_.ConsumeBytes<uint8_t>(input_.ConsumeIntegralInRange<size_t>(0, 140));
    noteIfAccepted(message, reply);
    return reply;
  }

  std::optional<Bytes> plausibleReply(const Bytes& message) {
    const uint8_t request0 = message.size() > 2 ? message[2] : 0;
    const uint32_t requestSequence = message.size() > 5 ? readLe24(message, 3) : 0;
    const uint8_t flags = input_.ConsumeIntegral<uint8_t>();
    const uint8_t completion = (flags & 0x07) == 0 ? input_.ConsumeIntegral<uint8_t>() : 0;
    const uint8_t taskId = (flags & 0x18) == 0 ? input_.ConsumeIntegral<uint8_t>() >> 4
                                              : request0 >> 4;
    const uint8_t state = (flags & 0x60) == 0x60 ? input_.ConsumeIntegralInRange<uint8_t>(0, 7)
                                                 : usualState(request0);
    uint32_t sequence = (requestSequence + 1) & 0xFFFFFF;
    if ((flags & 0x60) == 0) sequence = input_.ConsumeIntegral<uint32_t>() & 0xFFFFFF;
    Bytes reply{0xFC, 0x20, completion, static_cast<uint8_t>(taskId << 4 | state << 1)};
    for (int i = 0; i < 3; ++i) reply.push_back(static_cast<uint8_t>(sequence >> (8 * i)));
    if ((request0 & 0x0F) == 0x02 && (flags & 0x80) == 0) {
      // A start reply with a short total keeps the backup to a few blocks.
      const uint32_t total = input_.ConsumeIntegralInRange<uint32_t>(0, 600);
      for (int i = 0; i < 4; ++i) reply.push_back(static_cast<uint8_t>(total >> (8 * i)));
    }
    const size_t tail = input_.ConsumeIntegralInRange<size_t>(0, 125);
    const Bytes data = input_.ConsumeBytes<uint8_t>(tail);
    reply.insert(reply.end(), data.begin(), data.end());
    if ((flags & 0x80) != 0) reply.resize(input_.ConsumeIntegralInRange<size_t>(0, reply.size()));
    noteIfAccepted(message, reply);
    return reply;
  }

  // The state a well-behaved BMC would give, most of the time.
  uint8_t usualState(uint8_t request0) {
    if (request0 == 0x06) return 0;
    switch (request0 & 0x0F) {
      case 0x00:
      case 0x01: return 1;
      case 0x02: return 2;
      default: return input_.ConsumeBool() ? 2 : 4;
    }
  }

  // The backup's acceptance rule, read off the wire: a data block request
  // answered with completion code 0, the requester's task id, state 2 or 4,
  // the next sequence number and at least one data byte.
  void noteIfAccepted(const Bytes& message, const Bytes& reply) {
    const bool blockRequest = message.size() == 6 && (message[2] & 0x0F) == 0x03;
    if (!blockRequest || reply.size() < 8 || reply.size() > 128 || reply[2] != 0) return;
    const uint8_t state = (reply[3] & 0x0F) >> 1;
    const bool ours = reply[3] >> 4 == message[2] >> 4;
    const bool inStep = readLe24(reply, 4) == ((readLe24(message, 3) + 1) & 0xFFFFFF);
    if (ours && (state == 2 || state == 4) && inStep) {
      acceptedData.insert(acceptedData.end(), reply.begin() + 7, reply.end());
    }
  }

  static uint32_t readLe24(const Bytes& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16;
  }

  FuzzedDataProvider& input_;
  size_t exchangeCap_;
};

// The data of the restore's block requests; a request that repeats the one
// before it (the request layer's retry, or a block the BMC did not take,
// sent again with its sequence) counts once.
Bytes restoredStream(const HostileBmc& bmc) {
  Bytes stream;
  for (size_t i = 0; i < bmc.requests.size(); ++i) {
    const Bytes& message = bmc.requests[i];
    if (message.size() <= 6 || (message[2] & 0x0F) != 0x03) continue;
    if (message.size() > 6 + 45) fail();  // more than 45 data bytes
    const bool again = i > 0 && bmc.requests[i - 1] == message;
    if (!again) stream.insert(stream.end(), message.begin() + 6, message.end());
  }
  return stream;
}

// Run control's steps up to the configuration driver, with the transfer
// routed to the hostile BMC (run control binds the plain one itself),
// opening and closing the transport as run control does.
void runConfigMode(sim::Rig& rig, HostileBmc& bmc, bool restore) {
  char program[] = "Velkoran.efi", config[] = "-c", mode[] = "-d", name[] = "config.bin";
  if (restore) mode[1] = 'f';
  char* argv[] = {program, config, mode, name, nullptr};
  if (!parseCommandLine(4, argv)) fail();
  toolContext.transport = kcsTransport();
  fuzzsupport::routeTransfers(rig, &bmc);
  toolContext.runRecord.outcome = RunOutcome::kUnset;  // as every run begins
  const int result = ::runConfigDriver([] { return toolContext.transport.open() == 0; });
  toolContext.transport.close();
  fuzzsupport::routeTransfers(rig, nullptr);
  // The result says what the last line says, and so does the outcome.
  if ((result == 0) != (toolContext.runRecord.outcome == RunOutcome::kSuccess)) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool restore = input.ConsumeBool();
  Bytes file;
  if (restore) file = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 400));

  sim::Rig rig(sim::Rig::Files::inMemory);
  HostileBmc bmc(input, size);
  fuzzsupport::FastForwardPorts ports(rig.kcs);
  // An unanswered request times out after 10 s; the interface then comes
  // back instead of failing every later request too.
  rig.kcs.faults.silentRecoveryMicros = 10500000;
  if (restore) rig.writeFile("config.bin", file);
  runConfigMode(rig, bmc, restore);

  if (restore) {
    // Whatever went out is the file's beginning, in order; a restore that
    // succeeded sent all of it.
    const Bytes sent = restoredStream(bmc);
    if (sent.size() > file.size() || !std::equal(sent.begin(), sent.end(), file.begin())) {
      fail();
    }
    if (toolContext.runRecord.outcome == RunOutcome::kSuccess && sent != file) fail();
  } else {
    // A finished backup is in place; a failed one stays under the temporary
    // name. Either way it holds exactly what the BMC's accepted blocks gave.
    // A BMC that never answered sent nothing, and leaves no file at all.
    const bool placed = rig.fileExists("config.bin");
    const bool partial = rig.fileExists("config.bin.partial");
    const bool unanswered = toolContext.runRecord.outcome == RunOutcome::kNoAnswer;
    if (!placed && !partial && unanswered && bmc.acceptedData.empty()) return 0;
    if (placed == partial) fail();
    if (rig.readFile(placed ? "config.bin" : "config.bin.partial") != bmc.acceptedData) fail();
  }
  return 0;
}
