// bmcsim: the simulated BMC on a socket, speaking QEMU's external-BMC
// protocol, for QEMU (-device ipmi-bmc-extern) and for velkoran
// (VELKORAN_BMC), or on a LAN channel over IPMI v2.0 RMCP+ (--lan).
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/app_bmc.h"
#include "sim/app_options.h"
#include "sim/bmc.h"
#include "sim/bmcsim_options.h"
#include "sim/config_options.h"
#include "sim/extern_link.h"
#include "sim/firmware_options.h"
#include "sim/lan_link.h"
#include "sim/lan_options.h"
#include "sim/lan_server.h"
#include "sim/probe_bmc.h"
#include "sim/self_test_bmc.h"

namespace {

// Every option module. A simulated subsystem with options of its own
// (scenarios, files it serves and keeps) adds its module here.
constexpr sim::BmcsimOptionModule kOptionModules[] = {
    sim::addLinkOptions,
    sim::addFaultOptions,
    sim::addAppOptions,
    sim::addProbeOptions,
    sim::addFirmwareOptions,
    sim::addConfigOptions,
    sim::addLanOptions,
};

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

// Prints one option: its name in a column, its help wrapped beside it.
void printOption(const std::string& head, const std::string& help) {
  constexpr size_t kColumn = 30;
  constexpr size_t kWidth = 79;
  std::string line = "  " + head;
  if (line.size() + 1 > kColumn) {
    // A long name gets a line of its own.
    std::printf("%s\n", line.c_str());
    line.clear();
  }
  line.resize(kColumn, ' ');
  size_t start = 0;
  while (start < help.size()) {
    size_t end = start + (kWidth - kColumn);
    if (end >= help.size()) {
      end = help.size();
    } else {
      const size_t blank = help.rfind(' ', end);
      if (blank != std::string::npos && blank > start) end = blank;
    }
    std::printf("%s%s\n", line.c_str(), help.substr(start, end - start).c_str());
    line.assign(kColumn, ' ');
    start = end < help.size() && help[end] == ' ' ? end + 1 : end;
  }
}

void printUsage(const std::vector<sim::BmcsimOption>& options) {
  std::printf(
      "Usage: bmcsim --listen unix:PATH|tcp:HOST:PORT [options]\n"
      "       bmcsim --lan HOST:PORT --lan-user NAME --lan-password PASSWORD [options]\n"
      "Serves a simulated BMC over QEMU's ipmi-bmc-extern protocol, one connection at a\n"
      "time, or over IPMI v2.0 RMCP+ on UDP, until SIGTERM or SIGINT. The BMC always\n"
      "accepts Cold Reset (06/02) and answers Get Device ID (06/01), the requests an\n"
      "OS driver sends at load and the other standard commands every BMC has (self\n"
      "test, watchdog, chassis, events, SEL, SDR, FRU); wrong lengths get 0xC7, bad\n"
      "fields 0xCC.\n\n"
      "Options:\n");
  for (const sim::BmcsimOption& option : options) {
    std::string head = option.name;
    if (option.argument != nullptr) head += std::string(" ") + option.argument;
    printOption(head, option.help);
  }
  printOption("--help", "show this text");
}

const sim::BmcsimOption* findOption(const std::vector<sim::BmcsimOption>& options,
                                    const std::string& name) {
  for (const sim::BmcsimOption& option : options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// 0 when all options were taken, else the exit status.
int parseOptions(int argc, char** argv, const std::vector<sim::BmcsimOption>& options,
                 sim::BmcsimSettings& settings) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help") {
      printUsage(options);
      return 1;
    }
    std::string inlineValue;
    const size_t equals = name.find('=');
    const bool hasInline = equals != std::string::npos;
    if (hasInline) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    const sim::BmcsimOption* option = findOption(options, name);
    const char* value = nullptr;
    if (option != nullptr && option->argument != nullptr) {
      value = hasInline ? inlineValue.c_str() : (i + 1 < argc ? argv[++i] : nullptr);
    }
    if (option == nullptr || (option->argument != nullptr) != (value != nullptr) ||
        !option->apply(settings, value)) {
      std::fprintf(stderr, "bmcsim: bad option or value: %s\n", argv[i]);
      return 2;
    }
  }
  if (const char* problem = sim::lanOptionsProblem(settings)) {
    std::fprintf(stderr, "bmcsim: %s\n", problem);
    return 2;
  }
  return 0;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a blocked accept() or recv() returns
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

std::FILE* openJournal(const std::string& path) {
  if (path.empty()) return nullptr;
  std::FILE* journal = std::fopen(path.c_str(), "w");
  if (journal == nullptr) std::fprintf(stderr, "bmcsim: cannot write %s\n", path.c_str());
  return journal;
}

int serveLan(sim::BmcsimSettings& settings, const std::array<uint8_t, 16>& guid) {
  const std::string& address = settings.lan->address;
  const int udp = sim::lan::bindUdp(address);
  if (udp < 0) {
    std::fprintf(stderr, "bmcsim: cannot serve RMCP+ on %s: %s\n", address.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::FILE* journal = openJournal(settings.journalPath);
  if (journal == nullptr && !settings.journalPath.empty()) {
    close(udp);
    return 1;
  }
  std::fprintf(stderr, "bmcsim: serving RMCP+ on %s\n", address.c_str());
  sim::LanServer server(settings.bmc, *settings.lan, guid, journal);
  sim::lan::serve(server, udp, &stopRequested);
  close(udp);
  if (journal != nullptr) std::fclose(journal);
  return 0;
}

int serve(sim::BmcsimSettings& settings) {
  const sim::link::Address address = *sim::link::parseAddress(settings.listen);
  const int listener = sim::link::listenOn(address);
  if (listener < 0) {
    std::fprintf(stderr, "bmcsim: cannot listen on %s: %s\n", settings.listen.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::FILE* journal = openJournal(settings.journalPath);
  if (journal == nullptr && !settings.journalPath.empty()) {
    close(listener);
    return 1;
  }
  std::fprintf(stderr, "bmcsim: listening on %s\n", settings.listen.c_str());
  sim::link::Server server(settings.bmc, journal);
  while (stopRequested == 0) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) continue;  // interrupted: look at the stop flag again
    server.serveConnection(connection, &stopRequested);
    close(connection);
    if (settings.once) break;
  }
  close(listener);
  if (address.unixSocket) unlink(address.path.c_str());
  if (journal != nullptr) std::fclose(journal);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<sim::BmcsimOption> options;
  for (sim::BmcsimOptionModule addOptions : kOptionModules) addOptions(options);
  sim::Bmc bmc;
  // A BMC answers Get Device ID and the requests an OS driver sends at load.
  sim::AppBmc app(bmc, [] {
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
  });
  sim::LanConfig lan;
  sim::BmcsimSettings settings{bmc, {}, {}, false, {}, &app, &lan};
  if (const int status = parseOptions(argc, argv, options, settings); status != 0) {
    return status == 1 ? 0 : status;
  }
  sim::addSelfTest(bmc);
  installStopHandlers();
  const int status = lan.address.empty() ? serve(settings) : serveLan(settings, app.guid);
  for (auto& finish : settings.atExit) finish();
  return status;
}
