// Runs the whole program against the in-process simulated BMC with the
// firmware handlers installed, in a directory of its own for the files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bmc.h"
#include "sim/firmware_bmc.h"
#include "sim/rig.h"

namespace flowtest {

using sim::Bytes;

struct TableEntry {
  uint64_t offset;
  uint64_t size;
  std::string name = "part.bin";
};

// The plain table text for the entries, ended by "[end]".
std::string tableText(const std::vector<TableEntry>& entries);
// An image of `size` bytes of a pattern without zero bytes, with `table`
// written (and NUL-terminated) at the start of the page at tableAt.
Bytes makeImage(size_t size, size_t tableAt, const std::string& table);
// The bytes of a region as the BMC should receive them: the file's bytes,
// 0xFF past its end.
Bytes regionBytes(const Bytes& image, uint64_t offset, uint64_t length);

class FlowTest : public ::testing::Test {
 public:
  FlowTest();
  ~FlowTest() override;

  // A fresh BMC, no faults: for table-driven cases within one test.
  void reset();
  // Runs the program with these arguments after the program name; keys are
  // what the console input gives.
  void run(std::vector<std::string> args, const std::string& keys = "");
  // The console after the banner and the echo of the command line.
  std::string afterEcho() const;

  std::string path(const std::string& name) const;
  void writeFile(const std::string& name, const Bytes& bytes);
  Bytes readFile(const std::string& name) const;
  // Makes a file of exactly `size` bytes whose start is `head` (the rest
  // reads as zeros without taking disk space).
  void writeSparseFile(const std::string& name, const Bytes& head, uint64_t size);

  // Whole seconds the program waited (stalls), from the virtual clock.
  uint64_t waitedSeconds() const;
  // Request data of every request with this OEM command, in order.
  std::vector<Bytes> requestsFor(uint8_t command) const;
  // Flash bytes at [offset, offset + length).
  Bytes flashAt(uint64_t offset, uint64_t length) const;

  // Public: table-driven cases arrange them from outside.
 public:
  sim::Rig rig;
  sim::Bmc& bmc;
  sim::FirmwareBmc firmware;
  int result = 0;
  std::string console;

 private:
  std::string commandLine_;
  uint64_t stalled_ = 0;
};

// The program's own lines, kept here so that every test spells them once.
inline const std::string kTransportError = "ERROR !! BMC did not in correct state\n";
inline const std::string kColdResetSuccess = "Execute Cold Reset Success\n";

}  // namespace flowtest
