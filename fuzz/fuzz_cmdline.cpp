// The command-line parser over a fuzzed argument vector: the input, split at
// zero bytes, is the arguments after the program name.
#include <cstdint>
#include <string>
#include <vector>

#include "app/run.h"
#include "app/tool_context.h"
#include "platform/host/host.h"

namespace {

int parseOnly(int argc, char** argv) { return parseCommandLine(argc, argv) ? 1 : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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

  static std::string console;
  resetToolContext();
  hostplatform::resetAll();
  hostplatform::captureConsole(&console);
  bool exited = false;
  hostplatform::runCatchingExit(parseOnly, static_cast<int>(args.size()), argv.data(), &exited);
  hostplatform::captureConsole(nullptr);
  console.clear();
  resetToolContext();  // the tool state pointed into args
  return 0;
}
