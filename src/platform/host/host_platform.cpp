// Host implementation of the console, memory, process, time and port services.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/format.h"
#include "platform/host/fault_file_system.h"
#include "platform/host/file_system.h"
#include "platform/host/host.h"
#include "platform/platform.h"

namespace hostplatform {
namespace {

struct State {
  PortDevice* device = nullptr;
  std::string* consoleSink = nullptr;
  std::optional<std::string> keys;
  size_t nextKey = 0;
  uint64_t now = 0;
  int stopSignal = 0;
  uint64_t stalled = 0;
  Faults faults;
  std::string machineEnds;
  BootStart bootStart;
  FileSystem* chosenFiles = nullptr;
};

State& state() {
  static State instance;
  return instance;
}

// Behaves like a firmware timer event: a firing signals it, and the signal
// stays through a cancel until a question (timerFired) takes it.
struct HostTimer {
  bool armed = false;
  uint64_t deadline = 0;
  bool signalled = false;

  // The firing that has come due by now.
  void settle() {
    if (armed && state().now >= deadline) {
      armed = false;
      signalled = true;
    }
  }
};

}  // namespace

void setPortDevice(PortDevice* device) { state().device = device; }
PortDevice* portDevice() { return state().device; }
void captureConsole(std::string* sink) { state().consoleSink = sink; }
void setKeyInput(const std::string& keys) {
  state().keys = keys;
  state().nextKey = 0;
}
uint64_t nowMicros() { return state().now; }
uint64_t stalledMicros() { return state().stalled; }
void advanceClock(uint64_t micros) { state().now += micros; }
void resetClock() {
  state().now = 0;
  state().stalled = 0;
}
Faults& faults() { return state().faults; }

void setFileSystem(FileSystem* fileSystem) { state().chosenFiles = fileSystem; }
FileSystem& fileSystem() {
  return state().chosenFiles != nullptr ? *state().chosenFiles : stdioFileSystem();
}

namespace {
FaultInjectingFileSystem& faultInjectingFiles() {
  static FaultInjectingFileSystem instance(state().faults);
  return instance;
}
}  // namespace

void resetWrittenBytes() { faultInjectingFiles().resetWrittenBytes(); }

std::string& machineEnds() { return state().machineEnds; }
BootStart& bootStart() { return state().bootStart; }

void resetAll() {
  State& s = state();
  s.device = nullptr;
  s.consoleSink = nullptr;
  s.keys.reset();
  s.nextKey = 0;
  s.faults = Faults{};
  s.machineEnds.clear();
  s.stopSignal = 0;
  s.bootStart = BootStart{};
  setFileSystem(nullptr);
  resetWrittenBytes();
  resetClock();
}

void requestStop(int signal) { state().stopSignal = signal; }

}  // namespace hostplatform

// The platform's files are the chosen ones under the injected faults.
posixplatform::FileSystem& posixplatform::platformFileSystem() {
  hostplatform::FaultInjectingFileSystem& files = hostplatform::faultInjectingFiles();
  files.setInner(hostplatform::fileSystem());
  return files;
}

namespace platform {

using hostplatform::state;

void print(const char* format, ...) {
  char small[1024];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  size_t length = formatTextV(small, sizeof small, format, args);
  std::string text;
  if (length < sizeof small) {
    text.assign(small, length);
  } else {
    text.resize(length + 1);
    formatTextV(text.data(), text.size(), format, again);
    text.resize(length);
  }
  va_end(again);
  va_end(args);
  tapConsole(text.data(), text.size());
  if (state().consoleSink != nullptr) {
    state().consoleSink->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

void flush() {
  if (state().consoleSink == nullptr) std::fflush(stdout);
}

int readKey() {
  auto& s = state();
  if (!s.keys) {
    std::fflush(stdout);
    return std::getchar();
  }
  if (s.nextKey >= s.keys->size()) return -1;
  return static_cast<unsigned char>((*s.keys)[s.nextKey++]);
}

void* allocate(size_t size) {
  if (size == 0 || size == state().faults.failAllocationOfSize) return nullptr;
  return std::malloc(size);
}

void release(void* block) { std::free(block); }

// The test platform never touches the machine it runs on: it records the
// request and says so on stderr, apart from the program's console.
bool machineEndAllowed() { return true; }

void endMachine(bool powerOff) {
  state().machineEnds += powerOff ? "poweroff;" : "restart;";
  std::fflush(stdout);
  std::fprintf(stderr, "velkoran-sim: the run ends with a %s of the machine (not done here)\n",
               powerOff ? "power-off" : "restart");
}

int stopSignal() { return state().stopSignal; }
const char* stopSignalName() { return posixplatform::signalName(state().stopSignal); }

bool bootEntryRemovable() { return state().bootStart.byBootManager; }

BootEntryRemoval removeStartingBootEntry(char* name, size_t capacity) {
  const hostplatform::BootStart& start = hostplatform::state().bootStart;
  if (start.number < 0) {
    if (capacity > 0) name[0] = '\0';
    return BootEntryRemoval::kNoEntry;
  }
  std::snprintf(name, capacity, "Boot%04X", static_cast<unsigned>(start.number));
  hostplatform::state().machineEnds += "remove " + std::string(name) + ";";
  return start.removal;
}

void stall(uint64_t microseconds) {
  state().now += microseconds;
  state().stalled += microseconds;
}

int timerCreate(Timer* timer) {
  if (state().faults.timerCreateFails) return -1;
  *timer = new hostplatform::HostTimer;
  return 0;
}

int timerArm(Timer timer, uint64_t units100ns) {
  if (state().faults.timerArmFails) return -1;
  auto* t = static_cast<hostplatform::HostTimer*>(timer);
  t->armed = true;
  t->deadline = state().now + units100ns / 10;
  t->signalled = false;  // a new wait never sees an earlier firing
  return 0;
}

int timerCancel(Timer timer) {
  auto* t = static_cast<hostplatform::HostTimer*>(timer);
  t->settle();
  t->armed = false;
  return 0;
}

bool timerFired(Timer timer) {
  auto* t = static_cast<hostplatform::HostTimer*>(timer);
  state().now += hostplatform::kPollMicros;
  t->settle();
  const bool fired = t->signalled;
  t->signalled = false;
  return fired;
}

void timerClose(Timer timer) { delete static_cast<hostplatform::HostTimer*>(timer); }

uint8_t portRead(uint16_t port) {
  auto* device = state().device;
  return device != nullptr ? device->in(port) : 0xFF;
}

void portWrite(uint16_t port, uint8_t value) {
  if (auto* device = state().device) device->out(port, value);
}

}  // namespace platform
