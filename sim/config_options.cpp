// bmcsim options of the configuration task (0xF8/0x20): the configuration
// it serves and keeps, its knobs, and a report of what it saw. Every option
// installs the handler.
#include "config_options.h"

#include <climits>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config_bmc.h"

namespace sim {

namespace {

struct ConfigSetup {
  std::unique_ptr<ConfigBmc> config;
  std::string storeOut;
  std::string reportPath;
};

ConfigSetup& setup() {
  static ConfigSetup instance;
  return instance;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
  return out + "\"";
}

void writeList(std::ofstream& out, const char* name, const std::vector<std::string>& lines) {
  out << ", \"" << name << "\": [";
  for (size_t n = 0; n < lines.size(); ++n) out << (n ? ", " : "") << quoted(lines[n]);
  out << "]";
}

void writeReport(const ConfigBmc& config, const std::string& path) {
  std::ofstream out(path, std::ios::trunc);
  out << "{\"restoresCompleted\": " << config.restoresCompleted
      << ", \"aborts\": " << config.aborts << ", \"storeLength\": " << config.store.size();
  writeList(out, "violations", config.violations);
  writeList(out, "journal", config.journal);
  out << "}\n";
}

void finish() {
  const ConfigSetup& s = setup();
  if (!s.storeOut.empty()) {
    std::ofstream out(s.storeOut, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(s.config->store.data()),
              static_cast<std::streamsize>(s.config->store.size()));
  }
  if (!s.reportPath.empty()) writeReport(*s.config, s.reportPath);
}

ConfigBmc& installed(BmcsimSettings& settings) {
  ConfigSetup& s = setup();
  if (!s.config) {
    s.config = std::make_unique<ConfigBmc>(settings.bmc);
    settings.atExit.push_back(finish);
  }
  return *s.config;
}

std::optional<long> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used, 0);
  } catch (...) {
    return std::nullopt;
  }
  if (used != text.size()) return std::nullopt;
  return value;
}

// "1,2,3" -> {1, 2, 3}
std::optional<std::vector<long>> parseNumbers(const std::string& text, char separator) {
  std::vector<long> values;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    const auto value =
        parseNumber(text.substr(start, end == std::string::npos ? end : end - start));
    if (!value) return std::nullopt;
    values.push_back(*value);
    if (end == std::string::npos) return values;
    start = end + 1;
  }
}

std::optional<ConfigOp> parseOp(const std::string& name) {
  for (ConfigOp op : {ConfigOp::Reset, ConfigOp::OpenBackup, ConfigOp::OpenRestore,
                      ConfigOp::Start, ConfigOp::Block, ConfigOp::Abort}) {
    std::string known = configOpName(op);
    for (char& c : known) c = c == ' ' ? '-' : c;
    if (name == known) return op;
  }
  return std::nullopt;
}

// "block=c1", "start=none:2": a completion code (hex) or no answer, for
// every request of that kind or the first TIMES.
bool applyFault(ConfigBmc& config, const std::string& text) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  const auto op = parseOp(text.substr(0, equals));
  std::string what = text.substr(equals + 1);
  ConfigOpFault fault;
  if (const size_t colon = what.find(':'); colon != std::string::npos) {
    const auto times = parseNumber(what.substr(colon + 1));
    if (!times || *times < 1) return false;
    fault.times = static_cast<int>(*times);
    what.resize(colon);
  }
  if (what == "none") {
    fault.noAnswer = true;
  } else {
    const auto code = parseNumber("0x" + what);
    if (!code || *code < 0 || *code > 0xFF) return false;
    fault.completionCode = static_cast<uint8_t>(*code);
  }
  if (!op) return false;
  config.knobs.faults[*op] = fault;
  return true;
}

using KnobSetter = bool (*)(ConfigBmc& config, const std::string& value);

BmcsimOption knob(const char* name, const char* argument, const char* help, KnobSetter set) {
  return {name, argument, help, [set](BmcsimSettings& s, const char* value) {
            return set(installed(s), value != nullptr ? value : "");
          }};
}

// Knobs that take one number.
struct IntegerKnob {
  const char* name;
  const char* argument;
  const char* help;
  long min;
  long max;
  void (*store)(ConfigBmcKnobs& knobs, long value);
};

const IntegerKnob kIntegerKnobs[] = {
    {"--config-sequence", "N", "initial block sequence number (24 bits)", 0, 0xFFFFFF,
     [](ConfigBmcKnobs& k, long n) { k.initialSequence = static_cast<uint32_t>(n); }},
    {"--config-task-id", "N", "task id the open request gets (0 to 15)", 0, 15,
     [](ConfigBmcKnobs& k, long n) { k.taskId = static_cast<uint8_t>(n); }},
    {"--config-length", "N", "backup length the start reply announces (signed 32-bit; e.g. 0, -1)",
     INT32_MIN, INT32_MAX,
     [](ConfigBmcKnobs& k, long n) { k.announcedLength = static_cast<int32_t>(n); }},
    {"--config-start-busy", "N", "answer the start request N times in state 1 before state 2", 0,
     INT_MAX, [](ConfigBmcKnobs& k, long n) { k.startBusyReplies = static_cast<int>(n); }},
    {"--config-fail-at", "BLOCK", "answer block BLOCK (from 0) in state 5: the task fails", 0,
     INT_MAX, [](ConfigBmcKnobs& k, long n) { k.failStateAtBlock = static_cast<int>(n); }},
    {"--config-wrong-sequence", "BLOCK", "answer block BLOCK with a sequence number one too far",
     0, INT_MAX, [](ConfigBmcKnobs& k, long n) { k.wrongSequenceAtBlock = static_cast<int>(n); }},
    {"--config-foreign-task", "BLOCK", "answer block BLOCK with another task id", 0, INT_MAX,
     [](ConfigBmcKnobs& k, long n) { k.foreignTaskIdAtBlock = static_cast<int>(n); }},
};

void addStoreOptions(std::vector<BmcsimOption>& options) {
  options.push_back(knob(
      "--config-store", "FILE", "serve FILE's bytes as the BMC's configuration",
      [](ConfigBmc& c, const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        c.store.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
      }));
  options.push_back({"--config-store-out", "FILE",
                     "at the end, write the configuration the BMC holds (a completed restore "
                     "replaces it)",
                     [](BmcsimSettings& s, const char* value) {
                       installed(s);
                       setup().storeOut = value;
                       return true;
                     }});
  options.push_back({"--config-report", "FILE",
                     "at the end, write JSON: restoresCompleted, aborts, storeLength, "
                     "violations and a journal line per configuration request",
                     [](BmcsimSettings& s, const char* value) {
                       installed(s);
                       setup().reportPath = value;
                       return true;
                     }});
}

void addIntegerKnobs(std::vector<BmcsimOption>& options) {
  for (const IntegerKnob& integer : kIntegerKnobs) {
    options.push_back({integer.name, integer.argument, integer.help,
                       [&integer](BmcsimSettings& s, const char* value) {
                         const auto n = parseNumber(value);
                         if (!n || *n < integer.min || *n > integer.max) return false;
                         integer.store(installed(s).knobs, *n);
                         return true;
                       }});
  }
}

bool setChunks(ConfigBmc& c, const std::string& v) {
  const auto lengths = parseNumbers(v, ',');
  if (!lengths) return false;
  c.knobs.backupChunkLengths.clear();
  for (long n : *lengths) {
    if (n < 1 || n > 121) return false;
    c.knobs.backupChunkLengths.push_back(static_cast<size_t>(n));
  }
  return true;
}

bool setEmptyReplies(ConfigBmc& c, const std::string& v) {
  const auto n = parseNumbers(v, ':');
  if (!n || n->size() != 2 || (*n)[0] < 0 || (*n)[1] < 0) return false;
  c.knobs.emptyRepliesAtBlock = static_cast<int>((*n)[0]);
  c.knobs.emptyReplyCount = static_cast<int>((*n)[1]);
  return true;
}

bool setOtherState(ConfigBmc& c, const std::string& v) {
  auto n = parseNumbers(v, ':');
  if (!n || n->size() < 2 || n->size() > 3) return false;
  if (n->size() == 2) n->push_back(1);
  const long block = (*n)[0], state = (*n)[1], count = (*n)[2];
  if (block < 0 || state < 0 || state > 7 || count < 1) return false;
  c.knobs.otherStateAtBlock = static_cast<int>(block);
  c.knobs.otherState = static_cast<uint8_t>(state);
  c.knobs.otherStateCount = static_cast<int>(count);
  return true;
}

void addListKnobs(std::vector<BmcsimOption>& options) {
  options.push_back(knob(
      "--config-chunks", "N[,N...]",
      "data bytes of each backup reply in turn, the last repeating (1 to 121; default 60)",
      setChunks));
  options.push_back(knob("--config-empty-replies", "BLOCK:COUNT",
                         "answer block BLOCK COUNT times without data first", setEmptyReplies));
  options.push_back(knob("--config-other-state", "BLOCK:STATE[:COUNT]",
                         "answer block BLOCK COUNT times (default 1) in STATE, without data",
                         setOtherState));
  options.push_back(knob("--config-fault", "OP=CC|none[:TIMES]",
                         "fail requests of OP (reset, open-backup, open-restore, start, block, "
                         "abort) with completion code CC (hex) or no answer; may be repeated",
                         applyFault));
}

}  // namespace

void addConfigOptions(std::vector<BmcsimOption>& options) {
  addStoreOptions(options);
  addIntegerKnobs(options);
  addListKnobs(options);
}

}  // namespace sim
