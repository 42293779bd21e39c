// Controls of the test host, the platform of tests, tools and the
// simulator: where the ports lead, where the console goes, the virtual clock
// and injected faults. Never part of velkoran, which shares only the POSIX
// layer (platform/posix) with it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace hostplatform {

using posixplatform::pinInput;
using posixplatform::signalName;

// A device on the I/O port bus (the simulated KCS interface).
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint8_t in(uint16_t port) = 0;
  virtual void out(uint16_t port, uint8_t value) = 0;
};

// nullptr: reads give 0xFF and writes go nowhere.
void setPortDevice(PortDevice* device);
PortDevice* portDevice();

// Console text goes to *sink instead of stdout while set; nullptr restores.
void captureConsole(std::string* sink);
// Keys that readKey() returns, in order; when none are left it returns -1.
void setKeyInput(const std::string& keys);

// Virtual clock, in microseconds. stall() advances it at once; every
// timerFired() question advances it by kPollMicros.
constexpr uint64_t kPollMicros = 1000;
uint64_t nowMicros();
// Total virtual time spent in stall() since the last reset.
uint64_t stalledMicros();
// Lets virtual time pass without the program stalling: a fuzzer skips ahead
// while the program polls for a BMC that will not answer.
void advanceClock(uint64_t micros);
void resetClock();

// What platform::stopSignal() gives from now on (0: no stop asked).
void requestStop(int signal);

// Fault injection: the file knobs act through the fault-injecting file
// system laid over the chosen one (fault_file_system.h).
struct Faults {
  bool timerCreateFails = false;
  bool timerArmFails = false;
  // Writes to files fail once this many bytes have been written in all
  // (a full volume); -1 is unlimited.
  int64_t writeLimit = -1;
  // A write past writeLimit reports success and the loss shows only at the
  // next flush or close, as with a buffered stream.
  bool writeLossShowsLate = false;
  // fileRead() gives at most this many bytes per call (a file system that
  // answers in pieces); 0 is no limit.
  size_t readPieceLimit = 0;
  // fileRead() gives nothing at or past this file position (a read error
  // inside the file); -1 is none.
  int64_t readFailsAt = -1;
  // fileReplace() fails without touching either file.
  bool replaceFails = false;
  // fileClose() reports failure (its buffered data could not be written).
  bool closeFails = false;
  // Allocations of exactly this size fail; 0 is none.
  uint64_t failAllocationOfSize = 0;
};
Faults& faults();
// Starts a new count of bytes written for Faults::writeLimit.
void resetWrittenBytes();
// What the runs asked of the machine after they ended: "restart" or
// "poweroff" for each, in order; tests may clear it.
std::string& machineEnds();
// How the program was started, for --once: by a shell (the default), or by
// the boot manager from the entry `number` (negative: none), whose removal
// then comes to `removal`. Each removal asked for adds "remove BootXXXX;" to
// machineEnds().
struct BootStart {
  bool byBootManager = false;
  int number = -1;
  platform::BootEntryRemoval removal = platform::BootEntryRemoval::kRemoved;
};
BootStart& bootStart();
// Clears clock, faults, keys, console capture, port device and machine end,
// and puts the real files back (see file_system.h).
void resetAll();

}  // namespace hostplatform
