#include "rig.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "app/run.h"
#include "state/tool_context.h"
#include "platform/host/host.h"
#include "transport/kcs.h"

namespace sim {

namespace {

std::filesystem::path makeScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velkoran-rig-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

}  // namespace

Rig::Rig(Files files) {
  kcsClose();  // a timer kept from an earlier rig's runs
  resetToolContext();
  hostplatform::resetAll();
  hostplatform::setPortDevice(&kcs);
  hostplatform::captureConsole(&console);
  if (files == Files::inMemory) {
    hostplatform::setFileSystem(&memoryFiles_);
    return;
  }
  previousDirectory_ = std::filesystem::current_path();
  directory_ = makeScratchDirectory();
  std::filesystem::current_path(directory_);
}

Rig::~Rig() {
  kcsClose();
  hostplatform::resetAll();
  resetToolContext();
  if (inMemory()) return;
  std::error_code ignored;
  std::filesystem::current_path(previousDirectory_, ignored);
  std::filesystem::remove_all(directory_, ignored);
}

RunResult Rig::run(const std::vector<std::string>& arguments) {
  return runEntry(runTool, arguments);
}

RunResult Rig::runMain(const std::vector<std::string>& arguments) {
  return runEntry([](int argc, char** argv) { return velkoranMain(argc, argv); }, arguments);
}

RunResult Rig::runEntry(int (*entry)(int, char**), const std::vector<std::string>& arguments) {
  // The program keeps pointers into argv; the strings live in this frame
  // for the whole run.
  std::vector<std::string> storage = arguments;
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const size_t consoleStart = console.size();
  const uint64_t timeStart = hostplatform::nowMicros();
  RunResult outcome;
  outcome.result = entry(static_cast<int>(storage.size()), argv.data());
  outcome.console = console.substr(consoleStart);
  outcome.virtualMicros = hostplatform::nowMicros() - timeStart;
  return outcome;
}

void Rig::bindTransport() {
  toolContext.transport = kcsTransport();
  toolContext.commandPort = kDefaultCommandPort;
  toolContext.statusPort = kDefaultCommandPort;
  toolContext.dataPort = kDefaultDataPort;
}

void Rig::writeFile(const std::string& name, const std::string& contents) {
  if (inMemory()) {
    memoryFiles_.setFile(name, Bytes(contents.begin(), contents.end()));
    return;
  }
  std::ofstream out(directory_ / name, std::ios::binary | std::ios::trunc);
  out << contents;
}

void Rig::writeFile(const std::string& name, const Bytes& contents) {
  writeFile(name, std::string(contents.begin(), contents.end()));
}

Bytes Rig::readFile(const std::string& name) const {
  if (inMemory()) return memoryFiles_.contents(name);
  std::ifstream in(directory_ / name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Rig::fileExists(const std::string& name) const {
  if (inMemory()) return memoryFiles_.exists(name);
  return std::filesystem::exists(directory_ / name);
}

void Rig::writeSparseFile(const std::string& name, const Bytes& head, uint64_t size) {
  if (inMemory()) {
    memoryFiles_.setSparseFile(name, head, size);
    return;
  }
  writeFile(name, head);
  std::filesystem::resize_file(directory_ / name, size);
}

void Rig::makeDirectory(const std::string& name) {
  if (inMemory()) {
    memoryFiles_.makeDirectory(name);
  } else {
    std::filesystem::create_directory(directory_ / name);
  }
}

std::string Rig::takeConsole() {
  std::string text = console.substr(consoleTaken_);
  consoleTaken_ = console.size();
  return text;
}

}  // namespace sim
