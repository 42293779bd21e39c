// The two readers of the program's own inputs. The first input byte picks:
//   even: the rest, split at zero bytes, is the arguments after the program
//         name, for parseCommandLine;
//   odd:  the rest is a kcs.cfg, read by kcsOpen.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/run.h"
#include "state/tool_context.h"
#include "platform/host/host.h"
#include "transport/kcs.h"

namespace {

void parseArguments(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"velkoran"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  parseCommandLine(static_cast<int>(args.size()), argv.data());
}

// kcsOpen reads kcs.cfg from the current directory: it runs in a private
// one, and the fuzzer's own directory is current again afterwards (it writes
// its corpus by relative paths).
std::string scratchDirectory;
int fuzzerDirectory = -1;

void removeScratchDirectory() {
  unlink((scratchDirectory + "/kcs.cfg").c_str());
  rmdir(scratchDirectory.c_str());
}

void enterScratchDirectory() {
  if (!scratchDirectory.empty()) return;
  std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/fuzz_kcs_cfg.XXXXXX";
  fuzzerDirectory = open(".", O_RDONLY | O_DIRECTORY);
  if (fuzzerDirectory < 0 || mkdtemp(pattern.data()) == nullptr) std::abort();
  scratchDirectory = pattern;
  std::atexit(removeScratchDirectory);
}

void readKcsConfig(const uint8_t* data, size_t size) {
  enterScratchDirectory();
  if (chdir(scratchDirectory.c_str()) != 0) std::abort();
  std::FILE* config = std::fopen("kcs.cfg", "wb");
  if (config == nullptr || std::fwrite(data, 1, size, config) != size || std::fclose(config) != 0) std::abort();
  kcsOpen();  // a refused file is an answer too
  if (fchdir(fuzzerDirectory) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static std::string console;
  resetToolContext();
  hostplatform::resetAll();
  hostplatform::captureConsole(&console);
  if (data[0] % 2 == 0) {
    parseArguments(data + 1, size - 1);
  } else {
    readKcsConfig(data + 1, size - 1);
  }
  hostplatform::captureConsole(nullptr);
  console.clear();
  resetToolContext();  // the tool state pointed into the arguments
  return 0;
}
