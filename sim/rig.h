// A test rig: a fresh tool state and host platform, a simulated BMC on the
// KCS ports, the console captured, and the program's files either in a
// scratch directory made the current directory, or in memory (no disk at
// all: what fuzzers want). One Rig at a time per process.
//
//   sim::Rig rig;                      // or sim::Rig rig(sim::Rig::Files::inMemory);
//   rig.bmc.setHandler(0xF8, 0x17, ...);       // handler modules plug in here
//   rig.writeFile("kcs.cfg", "CMD CA3\nDATA CA2\n");
//   sim::RunResult run = rig.run({"Velkoran.efi", "-d", "dump.bin"});
//   EXPECT_EQ(run.console, "...");
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app_bmc.h"
#include "bmc.h"
#include "kcs_device.h"
#include "platform/host/host.h"
#include "platform/host/file_system.h"

namespace sim {

struct RunResult {
  int result = 0;        // the entry's return value
  std::string console;   // everything printed during this run
  uint64_t virtualMicros = 0;  // virtual time that passed during this run
};

class Rig {
 public:
  enum class Files { scratchDirectory, inMemory };

  explicit Rig(Files files = Files::scratchDirectory);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  Bmc bmc;
  // Get Device ID and the BMC's reboot, on the virtual clock.
  AppBmc app{bmc, [] { return hostplatform::nowMicros(); }};
  KcsDevice kcs{&bmc};
  // All console text since the rig was made (runs append to it).
  std::string console;

  // Runs run control (runTool) with this argument vector, argument 0
  // included.
  RunResult run(const std::vector<std::string>& arguments);
  // The same through the main entry (velkoranMain).
  RunResult runMain(const std::vector<std::string>& arguments);

  // Binds toolContext.transport to the KCS operations and sets the default
  // ports without reading kcs.cfg, for tests that call a mode directly.
  void bindTransport();

  // The program's files, by the names it is given. directory() is the
  // scratch directory (the current directory while the rig lives), empty
  // for files in memory.
  std::filesystem::path directory() const { return directory_; }
  void writeFile(const std::string& name, const std::string& contents);
  void writeFile(const std::string& name, const Bytes& contents);
  Bytes readFile(const std::string& name) const;
  bool fileExists(const std::string& name) const;
  void makeDirectory(const std::string& name);
  // A file of `size` bytes that starts with head and reads as zeros after it,
  // without taking the space.
  void writeSparseFile(const std::string& name, const Bytes& head, uint64_t size);

  // Console text printed since the last call of this function.
  std::string takeConsole();

 private:
  RunResult runEntry(int (*entry)(int, char**), const std::vector<std::string>& arguments);

  bool inMemory() const { return directory_.empty(); }

  hostplatform::MemoryFileSystem memoryFiles_;
  std::filesystem::path previousDirectory_;
  std::filesystem::path directory_;
  size_t consoleTaken_ = 0;
};

}  // namespace sim
