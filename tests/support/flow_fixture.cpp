#include "support/flow_fixture.h"


#include <algorithm>

#include "app/run.h"
#include "state/tool_context.h"
#include "platform/host/host.h"

namespace flowtest {

namespace {
// Longer than the transport's 10-second wait: an unanswered request times
// out and the next one finds the interface idle again.
constexpr int64_t kSilentRecoveryMicros = 10'500'000;
}  // namespace

std::string tableText(const std::vector<TableEntry>& entries) {
  std::string text;
  char line[128];
  for (const TableEntry& entry : entries) {
    snprintf(line, sizeof line, "[img]: %lx %lx 0 %s\n", static_cast<unsigned long>(entry.offset),
             static_cast<unsigned long>(entry.size), entry.name.c_str());
    text += line;
  }
  return text + "[end]\n";
}

Bytes makeImage(size_t size, size_t tableAt, const std::string& table) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = uint8_t(1 + (i * 7 + i / 251) % 255);
  std::copy(table.begin(), table.end(), image.begin() + tableAt);
  image[tableAt + table.size()] = 0;
  return image;
}

Bytes regionBytes(const Bytes& image, uint64_t offset, uint64_t length) {
  Bytes bytes(length, 0xFF);
  for (uint64_t n = 0; n < length && offset + n < image.size(); ++n) bytes[n] = image[offset + n];
  return bytes;
}

FlowTest::FlowTest() : bmc(rig.bmc), firmware(rig.bmc) {
  rig.kcs.faults.silentRecoveryMicros = kSilentRecoveryMicros;
  firmware.onUpdateComplete = [this] { rig.app.updateCompleted(); };
}

FlowTest::~FlowTest() = default;

void FlowTest::reset() {
  firmware.reset();
  bmc.received.clear();
  bmc.replies.clear();
  bmc.coldResets = 0;
  hostplatform::faults() = hostplatform::Faults{};
}

void FlowTest::run(std::vector<std::string> args, const std::string& keys) {
  resetToolContext();
  hostplatform::setKeyInput(keys);
  args.insert(args.begin(), "Velkoran.efi");
  commandLine_.clear();
  for (const std::string& arg : args) commandLine_ += arg + " ";
  commandLine_ += "\n";
  uint64_t stalledBefore = hostplatform::stalledMicros();
  sim::RunResult outcome = rig.run(args);
  stalled_ = hostplatform::stalledMicros() - stalledBefore;
  result = outcome.result;
  console = outcome.console;
}

std::string FlowTest::afterEcho() const {
  size_t at = console.find(commandLine_);
  return at == std::string::npos ? "(no echo) " + console
                                 : console.substr(at + commandLine_.size());
}

std::string FlowTest::path(const std::string& name) const { return name; }

void FlowTest::writeFile(const std::string& name, const Bytes& bytes) { rig.writeFile(name, bytes); }

Bytes FlowTest::readFile(const std::string& name) const { return rig.readFile(name); }

void FlowTest::writeSparseFile(const std::string& name, const Bytes& head, uint64_t size) {
  rig.writeSparseFile(name, head, size);
}

uint64_t FlowTest::waitedSeconds() const { return stalled_ / 1'000'000; }

std::vector<Bytes> FlowTest::requestsFor(uint8_t command) const {
  std::vector<Bytes> requests;
  for (const Bytes& message : bmc.received) {
    if (message.size() >= 2 && message[0] == sim::FirmwareBmc::kNetFnLun && message[1] == command) {
      requests.emplace_back(message.begin() + 2, message.end());
    }
  }
  return requests;
}

Bytes FlowTest::flashAt(uint64_t offset, uint64_t length) const {
  Bytes bytes(length, 0);
  for (uint64_t n = 0; n < length; ++n) {
    bytes[n] = offset + n < firmware.flash.size() ? firmware.flash[offset + n] : 0;
  }
  return bytes;
}

}  // namespace flowtest
